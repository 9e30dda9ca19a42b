// Classes that the reader fills and the page operations use: outline items,
// interactive-form fields and their default-appearance fonts, and the
// page-object closure that page extraction copies into another document.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pdf/kvPDFDocWriter.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFUtils.h"

namespace pdf {

class TkvCustomPDFDocument;
class TkvPDFObjectStore;

// One outline (bookmark) item, itself an indirect object. First and Next are
// owned, Parent and Prev are not: freeing the root frees the whole tree.
class TkvPDFOutline : public TkvPDFIndirectObject, public TkvOutlineItemSource {
 public:
  TkvPDFOutline(TkvCustomPDFDocument* document, std::unique_ptr<TkvPDFObject> value, uint16_t genNum,
                int32_t objNum, int32_t sourceID, std::vector<TkvPDFIndirectObject*>* pageList);
  // Frees the sibling chain in a loop: a long chain costs no stack.
  ~TkvPDFOutline() override;

  // The writer's view of the item.
  const TkvPDFDictObject* Dictionary() const override {
    return dynamic_cast<const TkvPDFDictObject*>(Value.get());
  }
  TkvObjectKey Key() const override { return TkvObjectKey{SourceID, ObjNum, GenNum}; }
  void SetKey(const TkvObjectKey& key) override {
    SourceID = key.SourceID;
    ObjNum = key.ObjNum;
    GenNum = static_cast<uint16_t>(key.GenNum);
  }
  bool Closed() const override { return IsClosed; }
  TkvOutlineItemSource* FirstChild() const override { return First.get(); }
  TkvOutlineItemSource* NextSibling() const override { return Next.get(); }

  TkvCustomPDFDocument* Document;
  bool IsClosed = false;                         // the item's /Count was negative
  std::vector<TkvPDFIndirectObject*>* PageList;  // not owned
  TkvPDFOutline* Parent = nullptr;               // not owned
  std::unique_ptr<TkvPDFOutline> First;
  TkvPDFOutline* Prev = nullptr;  // not owned
  std::unique_ptr<TkvPDFOutline> Next;
};

// The font of a form field's default appearance. The design's font object of
// the widget toolkit is kept as its name, size and style.
struct TkvFieldFont {
  std::string Name;
  int Size = 0;
  bool Bold = false;
  bool Italic = false;
};

class TkvFontInfo {
 public:
  std::unique_ptr<TkvFontInfo> Clone() const;

  std::string ResourceName;                          // the /DA font key, with its slash
  std::unique_ptr<TkvPDFIndirectReference> FontRef;  // may be nullptr
  TkvFieldFont Font;
  double Size = 0;            // points
  std::string ColorOperator;  // "r g b rg" or "g g"
};

// Field kinds.
inline constexpr uint8_t kFieldPushButton = 0;
inline constexpr uint8_t kFieldRadioButton = 1;
inline constexpr uint8_t kFieldCheckBox = 2;
inline constexpr uint8_t kFieldText = 3;
inline constexpr uint8_t kFieldChoice = 4;
inline constexpr uint8_t kFieldSignature = 5;

// The kind of a field from its /FT name and /Ff flags (-1: no flags).
uint8_t FormFieldKind(const std::string& typeName, int32_t flags);

// One interactive-form field. Store and FieldObject are borrowed.
class TkvAcroFormField {
 public:
  TkvAcroFormField(TkvPDFObjectStore* store, TkvPDFIndirectObject* fieldObject)
      : Store(store), FieldObject(fieldObject) {}

  TkvPDFObjectStore* Store;
  TkvPDFIndirectObject* FieldObject;
  std::string Name;   // the /T of each ancestor and of the field, joined with "."
  std::string Value;  // /V as text
  std::string ExtraText;
  uint8_t FieldType = 0;
  std::unique_ptr<TkvFontInfo> Font;
  bool ReadOnly = false;
  bool MultiLine = false;
  int32_t MaxLength = 0;
  std::vector<std::string> States;
  int32_t Flags = -1;
  uint8_t Quadding = 0;
};

// Sets a font's name and style from a /BaseFont text ("Arial,Bold").
void ApplyBaseFontName(const std::string& text, TkvFieldFont& font);

// The page-object closure: owned copies of indirect objects keyed by their
// identity, in the order they were collected (the page first).
class TkvPageClosure {
 public:
  bool Contains(const TkvObjectKey& key) const { return index_.count(key) != 0; }
  void Add(std::unique_ptr<TkvPDFIndirectObject> obj);
  int Count() const { return static_cast<int>(items_.size()); }
  TkvPDFIndirectObject* At(int i) const { return items_[static_cast<size_t>(i)].get(); }
  // Hands the objects over (the closure is left empty).
  std::vector<std::unique_ptr<TkvPDFIndirectObject>> Release();

 private:
  std::vector<std::unique_ptr<TkvPDFIndirectObject>> items_;
  std::unordered_map<TkvObjectKey, size_t, TkvObjectKeyHash> index_;
};

}  // namespace pdf
