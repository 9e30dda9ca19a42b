#include "pdf/kvPDFTypes.h"

#include <algorithm>
#include <unordered_set>

namespace pdf {

namespace {

constexpr const char* SReferenceCycle = "Reference cycle through object %d %d R";

[[noreturn]] void RaiseUnexpected() {
  throw kvPDFUtils::EUnexpectedObjectError(SUnexpectedPDFObject);
}

}  // namespace

// ---- TkvPDFObjectStore ------------------------------------------------------

TkvPDFObjectStore::TSlot* TkvPDFObjectStore::Slot(const TkvObjectKey& key, bool grow) {
  if (key.SourceID != denseSource_ || key.ObjNum < 0) return nullptr;
  const auto n = static_cast<size_t>(key.ObjNum);
  if (n < dense_.size()) return &dense_[n];
  // A number far beyond the others (a damaged or hostile file) goes to the
  // hash index rather than grow the table to it.
  const size_t limit = std::max({expected_, 2 * dense_.size(), size_t{1024}});
  if (!grow || n >= limit) return nullptr;
  dense_.resize(std::min(limit, std::max({n + 1, 2 * dense_.size(), expected_})));
  return &dense_[n];
}

const TkvPDFObjectStore::TSlot* TkvPDFObjectStore::Slot(const TkvObjectKey& key) const {
  if (key.SourceID != denseSource_ || key.ObjNum < 0 || static_cast<size_t>(key.ObjNum) >= dense_.size())
    return nullptr;
  return &dense_[static_cast<size_t>(key.ObjNum)];
}

void TkvPDFObjectStore::AddObject(std::unique_ptr<TkvPDFIndirectObject> obj) {
  if (!obj) throw ENullObjectError(SNullObjectError);
  if (obj->SourceID < 0 || obj->ObjNum < 0) throw EInvalidID(rtl::Format(SInvalidUniqueID, {obj->ObjNum}));
  const int index = ObjectCount();
  const TkvObjectKey key = KeyOf(*obj);
  if (denseSource_ < 0) denseSource_ = key.SourceID;
  // Room is made before the index learns the key, so that a failed
  // allocation leaves both as they were; it grows geometrically, as
  // push_back would.
  TSlot* slot = Slot(key, true);
  if (objects_.size() == objects_.capacity()) objects_.reserve(std::max<size_t>(16, objects_.capacity() * 2));
  // The first object of a key stays the one found.
  if (slot && slot->Index < 0 && (index_.empty() || !index_.count(key)))
    *slot = TSlot{key.GenNum, index};
  else if (!slot || slot->GenNum != key.GenNum)
    index_.try_emplace(key, index);
  objects_.push_back(std::move(obj));
}

void TkvPDFObjectStore::Reserve(int n) {
  if (n <= 0) return;
  objects_.reserve(static_cast<size_t>(n));
  expected_ = std::max(expected_, static_cast<size_t>(n));
}

TkvPDFIndirectObject* TkvPDFObjectStore::FindObject(const TkvObjectKey& key) const {
  const int index = IndexOfKey(key.SourceID, key.ObjNum, key.GenNum);
  return index < 0 ? nullptr : objects_[static_cast<size_t>(index)].get();
}

TkvPDFIndirectObject* TkvPDFObjectStore::FindObject(const TkvPDFIndirectReference& ref) const {
  return FindObject(KeyOf(ref));
}

int TkvPDFObjectStore::IndexOfKey(int32_t sourceID, int32_t objNum, int32_t genNum) const {
  const TkvObjectKey key{sourceID, objNum, genNum};
  if (const TSlot* slot = Slot(key); slot && slot->Index >= 0 && slot->GenNum == genNum) return slot->Index;
  if (index_.empty()) return -1;
  auto it = index_.find(key);
  return it == index_.end() ? -1 : it->second;
}

int TkvPDFObjectStore::IndexOfUniqueID(int64_t uniqueID) const {
  for (size_t i = 0; i < objects_.size(); ++i) {
    const auto& o = *objects_[i];
    if (UniqueID(o.SourceID, o.ObjNum, o.GenNum) == uniqueID) return static_cast<int>(i);
  }
  return -1;
}

TkvPDFIndirectObject* TkvPDFObjectStore::ObjectAt(int index) const {
  if (index < 0 || index >= ObjectCount()) throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
  return objects_[static_cast<size_t>(index)].get();
}

void TkvPDFObjectStore::MergeObjects(std::vector<std::unique_ptr<TkvPDFIndirectObject>> objects) {
  for (auto& o : objects) {
    if (!o) continue;
    if (!FindObject(KeyOf(*o))) AddObject(std::move(o));
    // else: o is freed with the vector
  }
}

void TkvPDFObjectStore::MergeObjects(TkvObjectList& list) {
  std::vector<std::unique_ptr<TkvPDFIndirectObject>> taken;
  std::unordered_set<TkvObject*> seen;
  // Check every object first, so that a bad entry leaves both sides as they
  // were.
  for (int i = 0; i < list.Count(); ++i) {
    TkvObject* o = list.Objects(i);
    if (o && !dynamic_cast<TkvPDFIndirectObject*>(o)) RaiseInvalidCast();
  }
  for (int i = 0; i < list.Count(); ++i) {
    TkvObject* o = list.Objects(i);
    auto* io = static_cast<TkvPDFIndirectObject*>(o);
    // An object this store holds already stays as it is, owned once.
    if (!o || FindObject(KeyOf(*io)) == io || !seen.insert(o).second) continue;
    taken.emplace_back(io);
  }
  list.Clear();
  MergeObjects(std::move(taken));
}

TkvPDFObject* TkvPDFObjectStore::Follow(const TkvPDFObject* obj) const {
  // Chains are followed iteratively; a key met twice is a cycle.
  std::unordered_set<TkvObjectKey, TkvObjectKeyHash> visited;
  while (obj && obj->IsReference()) {
    const auto& ref = static_cast<const TkvPDFIndirectReference&>(*obj);
    if (!visited.insert(KeyOf(ref)).second)
      throw kvPDFUtils::EUnexpectedObjectError(rtl::Format(SReferenceCycle, {ref.ObjNum, ref.GenNum}));
    const TkvPDFIndirectObject* target = FindObject(ref);
    obj = target ? target->Value.get() : nullptr;
  }
  return const_cast<TkvPDFObject*>(obj);
}

template <typename T>
T* TkvPDFObjectStore::Fetch(const TkvPDFObject* obj, TkvPDFObjectType type) const {
  TkvPDFObject* o = Follow(obj);
  if (!o || o->IsNull()) return nullptr;  // a null entry is an absent entry
  if (o->ObjectType != type) RaiseUnexpected();
  return static_cast<T*>(o);
}

TkvPDFArrayObject* TkvPDFObjectStore::FetchArray(const TkvPDFObject* obj) const {
  return Fetch<TkvPDFArrayObject>(obj, otArray);
}
TkvPDFDictObject* TkvPDFObjectStore::FetchDict(const TkvPDFObject* obj) const {
  return Fetch<TkvPDFDictObject>(obj, otDict);
}
TkvPDFIntegerObject* TkvPDFObjectStore::FetchInteger(const TkvPDFObject* obj) const {
  return Fetch<TkvPDFIntegerObject>(obj, otInteger);
}
TkvPDFNameObject* TkvPDFObjectStore::FetchName(const TkvPDFObject* obj) const {
  return Fetch<TkvPDFNameObject>(obj, otName);
}
TkvPDFStreamObject* TkvPDFObjectStore::FetchStream(const TkvPDFObject* obj) const {
  return Fetch<TkvPDFStreamObject>(obj, otStream);
}
TkvPDFStringObject* TkvPDFObjectStore::FetchString(const TkvPDFObject* obj) const {
  return Fetch<TkvPDFStringObject>(obj, otString);
}

TkvPDFObject* TkvPDFObjectStore::FetchDirect(const TkvPDFObject* obj) const {
  std::unordered_set<const TkvPDFObject*> visited;
  for (;;) {
    if (!obj) return nullptr;
    if (!visited.insert(obj).second) throw kvPDFUtils::EUnexpectedObjectError(SUnexpectedPDFObject);
    if (obj->IsReference()) {
      const auto& ref = static_cast<const TkvPDFIndirectReference&>(*obj);
      obj = FindObject(ref);
      if (obj && !visited.insert(obj).second)
        throw kvPDFUtils::EUnexpectedObjectError(rtl::Format(SReferenceCycle, {ref.ObjNum, ref.GenNum}));
      obj = obj ? static_cast<const TkvPDFIndirectObject*>(obj)->Value.get() : nullptr;
    } else if (obj->IsIndirectObject()) {
      obj = static_cast<const TkvPDFIndirectObject*>(obj)->Value.get();
    } else {
      return const_cast<TkvPDFObject*>(obj);
    }
  }
}

// ---- TkvPDFViewerPreferences ------------------------------------------------

bool TkvPDFViewerPreferences::Get(const std::string& key) const {
  const TkvPDFObject* v = Dictionary ? Dictionary->Find(key) : nullptr;
  return v && v->IsBoolean() && static_cast<const TkvPDFBooleanObject*>(v)->Value;
}

void TkvPDFViewerPreferences::Set(const std::string& key, bool v) {
  if (!Dictionary) Dictionary = std::make_unique<TkvPDFDictObject>();
  if (v)
    Dictionary->SetBoolean(key, true);
  else
    Dictionary->Remove(key);
}

std::string TkvPDFViewerPreferences::ViewerPreferencesText() const {
  if (!Dictionary || Dictionary->Count() == 0) return {};
  static const char* const kKeys[] = {"/HideToolbar",
                                      "/HideMenubar",
                                      "/HideWindowUI",
                                      "/FitWindow",
                                      "/CenterWindow",
                                      "/DisplayDocTitle",
                                      "/NonFullScreenPageMode",
                                      "/Direction",
                                      "/ViewArea",
                                      "/ViewClip",
                                      "/PrintArea",
                                      "/PrintClip"};
  std::string lines;
  for (const char* key : kKeys) {
    const TkvPDFObject* v = Dictionary->Find(key);
    std::string text;
    if (v && v->IsBoolean())
      text = static_cast<const TkvPDFBooleanObject*>(v)->Value ? "true" : "";
    else if (v && v->IsName())
      text = static_cast<const TkvPDFNameObject*>(v)->Text;
    if (!text.empty()) lines += std::string(key) + " " + text + "\r\n";
  }
  return lines.empty() ? std::string() : "<<\r\n" + lines + ">>";
}

}  // namespace pdf
