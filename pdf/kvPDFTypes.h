// What a loaded document keeps beside its objects: cross-reference entries,
// the store of indirect objects with its typed resolvers, and the trailer,
// catalog and viewer-preference records.
//
// Ownership: the store owns its indirect objects; the trailer and the
// catalog own their fields. Resolvers return borrowed objects that stay
// owned by their container or the store.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pdf/kvClasses.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFUtils.h"
#include "platform/rtl/Classes.h"

namespace pdf {

// One cross-reference table entry: Kind 'n' in use, 'f' free.
class TkvXRefItem : public TkvObject {
 public:
  TkvXRefItem(int32_t offset, char kind, int32_t generation)
      : Offset(offset), Generation(generation), Kind(kind) {}
  int32_t Offset;
  int32_t Generation;
  char Kind;
};

// The indirect objects of one or more documents, in insertion order, found
// by (source id, object number, generation): those of the first source seen
// (a document's own, numbered from 1 up to about the count its file lists)
// through a table by object number, any other through a hash index.
class TkvPDFObjectStore {
 public:
  TkvPDFObjectStore() = default;
  TkvPDFObjectStore(const TkvPDFObjectStore&) = delete;
  TkvPDFObjectStore& operator=(const TkvPDFObjectStore&) = delete;

  // NextObjNum + 1, stored and returned (the first call gives 1).
  int32_t NextObjectNumber() { return ++NextObjNum; }
  // Takes ownership. nullptr raises ENullObjectError, a negative number
  // EInvalidID. A second object with a key already present is kept, but
  // lookups find the first.
  void AddObject(std::unique_ptr<TkvPDFIndirectObject> obj);
  // The stored object with the reference's key, or nullptr.
  TkvPDFIndirectObject* FindObject(const TkvPDFIndirectReference& ref) const;
  TkvPDFIndirectObject* FindObject(const TkvObjectKey& key) const;
  int IndexOfKey(int32_t sourceID, int32_t objNum, int32_t genNum) const;
  // By the displayed UniqueID text value (linear; it can collide).
  int IndexOfUniqueID(int64_t uniqueID) const;
  int ObjectCount() const { return static_cast<int>(objects_.size()); }
  // Room for n objects in all, so that a reader that knows how many the
  // file lists does not grow the store again and again.
  void Reserve(int n);
  // Bounds-checked: rtl::EListError.
  TkvPDFIndirectObject* ObjectAt(int index) const;
  // Every object whose key is new here is taken over (appended in order);
  // the others are freed. list is left empty. Its objects must be
  // TkvPDFIndirectObject (else rtl::EInvalidCast, nothing taken).
  void MergeObjects(TkvObjectList& list);
  void MergeObjects(std::vector<std::unique_ptr<TkvPDFIndirectObject>> objects);

  // Typed resolvers: nullptr gives nullptr; an object of the class is
  // returned; a reference is followed (to nullptr when its target is not in
  // the store); a null object means the entry is absent and gives nullptr.
  // Anything else raises kvPDFUtils::EUnexpectedObjectError, and so does a
  // cycle of references.
  TkvPDFArrayObject* FetchArray(const TkvPDFObject* obj) const;
  TkvPDFDictObject* FetchDict(const TkvPDFObject* obj) const;
  TkvPDFIntegerObject* FetchInteger(const TkvPDFObject* obj) const;
  TkvPDFNameObject* FetchName(const TkvPDFObject* obj) const;
  TkvPDFStreamObject* FetchStream(const TkvPDFObject* obj) const;
  TkvPDFStringObject* FetchString(const TkvPDFObject* obj) const;
  // References and indirect objects followed to a direct object (nullptr
  // when a target is missing); any other object is returned as it is.
  TkvPDFObject* FetchDirect(const TkvPDFObject* obj) const;

  int32_t NextObjNum = 0;

 private:
  // Follows references from obj until an object that is not one; nullptr
  // for a missing target.
  TkvPDFObject* Follow(const TkvPDFObject* obj) const;
  template <typename T>
  T* Fetch(const TkvPDFObject* obj, TkvPDFObjectType type) const;

  struct TSlot {
    int32_t GenNum = 0;
    int32_t Index = -1;  // -1: no object
  };
  // The slot of the key's number in the table, grown to hold it where grow
  // is set and the number is not far beyond what the store expects;
  // nullptr for a key the table does not cover.
  TSlot* Slot(const TkvObjectKey& key, bool grow);
  const TSlot* Slot(const TkvObjectKey& key) const;

  std::vector<std::unique_ptr<TkvPDFIndirectObject>> objects_;
  // key -> first index: the first source's keys by number in dense_, where
  // the slot is free; every other key in index_.
  int32_t denseSource_ = -1;
  size_t expected_ = 0;
  std::vector<TSlot> dense_;
  std::unordered_map<TkvObjectKey, int, TkvObjectKeyHash, std::equal_to<TkvObjectKey>,
                     TkvPoolAllocator<std::pair<const TkvObjectKey, int>>>
      index_;
};

class TkvPDFTrailer {
 public:
  int32_t RootNum = -1;  // not yet known
  std::unique_ptr<TkvPDFObject> EncryptObject;
  std::unique_ptr<TkvPDFIndirectReference> InfoRef;
  std::unique_ptr<TkvPDFArrayObject> FileID;
};

// Six Boolean preferences, each stored as one key of Dictionary; False is
// never stored (the key is removed).
class TkvPDFViewerPreferences : public rtl::TPersistent {
 public:
  TkvPDFViewerPreferences() : Dictionary(std::make_unique<TkvPDFDictObject>()) {}

  bool CenterWindow() const { return Get("/CenterWindow"); }
  void SetCenterWindow(bool v) { Set("/CenterWindow", v); }
  bool DisplayDocTitle() const { return Get("/DisplayDocTitle"); }
  void SetDisplayDocTitle(bool v) { Set("/DisplayDocTitle", v); }
  bool FitWindow() const { return Get("/FitWindow"); }
  void SetFitWindow(bool v) { Set("/FitWindow", v); }
  bool HideMenubar() const { return Get("/HideMenubar"); }
  void SetHideMenubar(bool v) { Set("/HideMenubar", v); }
  bool HideToolbar() const { return Get("/HideToolbar"); }
  void SetHideToolbar(bool v) { Set("/HideToolbar", v); }
  bool HideWindowUI() const { return Get("/HideWindowUI"); }
  void SetHideWindowUI(bool v) { Set("/HideWindowUI", v); }

  // The catalog's /ViewerPreferences text: "<<" CR LF, one "key value" CR LF
  // line per set entry in a fixed order, ">>"; empty when nothing is set.
  std::string ViewerPreferencesText() const;

  std::unique_ptr<TkvPDFDictObject> Dictionary;  // may be replaced; nullptr reads as empty

 private:
  bool Get(const std::string& key) const;
  void Set(const std::string& key, bool v);
};

class TkvPDFCatalog {
 public:
  TkvPDFCatalog() : Preferences(std::make_unique<TkvPDFViewerPreferences>()) {}
  // Frees the preferences' dictionary and takes dict in its place.
  void SetViewerPreferencesDict(std::unique_ptr<TkvPDFDictObject> dict) {
    Preferences->Dictionary = std::move(dict);
  }

  std::unique_ptr<TkvPDFViewerPreferences> Preferences;  // never nullptr
  std::unique_ptr<TkvPDFObject> Names;
  std::unique_ptr<TkvPDFIndirectReference> OutlinesRef;
  std::unique_ptr<TkvPDFObject> OpenAction;
  std::unique_ptr<TkvPDFObject> AcroForm;
  std::unique_ptr<TkvPDFObject> Metadata;
  std::unique_ptr<TkvPDFObject> AA;
  // Which optional-content groups are shown: without it every group is on.
  std::unique_ptr<TkvPDFObject> OCProperties;
};

}  // namespace pdf
