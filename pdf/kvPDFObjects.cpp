#include "pdf/kvPDFObjects.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "pdf/kvPDFUtils.h"
#include "platform/rtl/CodePages.h"

namespace pdf {

namespace {

template <typename T>
std::unique_ptr<T> Required(std::unique_ptr<T> p) {
  if (!p) throw ENullObjectError(SNullObjectError);
  return p;
}

void RaiseListIndex(int index) {
  throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
}

std::string RealText(double v) {
  // PDF has no exponent syntax and no NaN or infinity; those are written as 0.
  if (!std::isfinite(v) || v == 0) return "0";
  // Shortest fixed notation that reads back as the same double; a double's
  // fixed form needs at most ~330 characters.
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  if (r.ec != std::errc()) return "0";
  return std::string(buf, r.ptr);
}

}  // namespace

void RaiseInvalidCast() {
  throw rtl::EInvalidCast(rtl::SInvalidCast);
}

std::string TypeNameOf(TkvPDFObjectType type) {
  switch (type) {
    case otBoolean:
      return "Boolean Object";
    case otInteger:
      return "Integer Object";
    case otInt64:
      return "Int64 Object";
    case otReal:
      return "Real Object";
    case otString:
      return "String Object";
    case otName:
      return "Name Object";
    case otArray:
      return "Array Object";
    case otDict:
      return "Dictionary Object";
    case otStream:
      return "Stream Object";
    case otNull:
      return "Null Object";
    case otIndirectReference:
      return "IndirectReference Object";
    case otIndirectObject:
      return "Indirect Object";
  }
  return "Unknown Object";
}

std::string TkvPDFObject::TypeName() const {
  return TypeNameOf(ObjectType);
}

std::string TkvPDFObject::ValueText() const {
  switch (ObjectType) {
    case otBoolean:
      return static_cast<const TkvPDFBooleanObject*>(this)->Value ? "true" : "false";
    case otInteger:
      return std::to_string(static_cast<const TkvPDFIntegerObject*>(this)->Value);
    case otInt64:
      return std::to_string(static_cast<const TkvPDFInt64Object*>(this)->Value);
    case otReal:
      return RealText(static_cast<const TkvPDFRealObject*>(this)->Value);
    default:
      return {};
  }
}

// ---- scalars ----------------------------------------------------------------

std::unique_ptr<TkvPDFObject> TkvPDFBooleanObject::Clone() const {
  return std::make_unique<TkvPDFBooleanObject>(Value);
}
std::unique_ptr<TkvPDFObject> TkvPDFIntegerObject::Clone() const {
  return std::make_unique<TkvPDFIntegerObject>(Value);
}
std::unique_ptr<TkvPDFObject> TkvPDFInt64Object::Clone() const {
  return std::make_unique<TkvPDFInt64Object>(Value);
}
std::unique_ptr<TkvPDFObject> TkvPDFRealObject::Clone() const {
  return std::make_unique<TkvPDFRealObject>(Value);
}
std::unique_ptr<TkvPDFObject> TkvPDFStringObject::Clone() const {
  return std::make_unique<TkvPDFStringObject>(Text, IsHex);
}
std::string TkvPDFStringObject::Content() const {
  return Text.size() < 2 ? std::string() : Text.substr(1, Text.size() - 2);
}
std::u16string TkvPDFStringObject::AsWideText() const {
  if (IsHex) return DecodeHexText(Content());
  return rtl::MultiByteToWide(DecodeLiteralText(Content()));
}
std::unique_ptr<TkvPDFObject> TkvPDFNameObject::Clone() const {
  return std::make_unique<TkvPDFNameObject>(Text);
}
std::unique_ptr<TkvPDFObject> TkvPDFNullObject::Clone() const {
  return std::make_unique<TkvPDFNullObject>();
}
std::unique_ptr<TkvPDFObject> TkvPDFIndirectReference::Clone() const {
  return std::make_unique<TkvPDFIndirectReference>(SourceID, ObjNum, GenNum);
}

// ---- array ------------------------------------------------------------------

std::unique_ptr<TkvPDFObject> TkvPDFArrayObject::Clone() const {
  auto a = std::make_unique<TkvPDFArrayObject>();
  a->items_.reserve(items_.size());
  for (const auto& it : items_) a->items_.push_back(it->Clone());
  return a;
}

int TkvPDFArrayObject::Add(std::unique_ptr<TkvPDFObject> item) {
  items_.push_back(Required(std::move(item)));
  return Count() - 1;
}

int TkvPDFArrayObject::AddInteger(int32_t n) {
  return Add(std::make_unique<TkvPDFIntegerObject>(n));
}

void TkvPDFArrayObject::Insert(int index, std::unique_ptr<TkvPDFObject> item) {
  if (index < 0 || index > Count()) RaiseListIndex(index);
  items_.insert(items_.begin() + index, Required(std::move(item)));
}

TkvPDFObject* TkvPDFArrayObject::GetItem(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return items_[static_cast<size_t>(index)].get();
}

std::unique_ptr<TkvPDFObject> TkvPDFArrayObject::PutItem(int index, std::unique_ptr<TkvPDFObject> item) {
  if (index < 0 || index >= Count()) RaiseListIndex(index);
  item = Required(std::move(item));
  items_[static_cast<size_t>(index)].swap(item);
  return item;
}

void TkvPDFArrayObject::Delete(int index) {
  if (index < 0 || index >= Count()) RaiseListIndex(index);
  items_.erase(items_.begin() + index);
}

void TkvPDFArrayObject::Reserve(int n) {
  if (n > 0) items_.reserve(static_cast<size_t>(n));
}

// ---- dictionary -------------------------------------------------------------

std::unique_ptr<TkvPDFObject> TkvPDFDictObject::Clone() const {
  auto d = std::make_unique<TkvPDFDictObject>();
  d->entries_.reserve(entries_.size());
  for (const TEntry& e : entries_) d->entries_.push_back({CloneAs(*e.Key), e.Value->Clone()});
  return d;
}

void TkvPDFDictObject::CheckIndex(int i) const {
  if (i < 0 || i >= Count()) RaiseListIndex(i);
}

void TkvPDFDictObject::Reserve(int n) {
  if (n > 0) entries_.reserve(static_cast<size_t>(n));
}

void TkvPDFDictObject::Add(std::unique_ptr<TkvPDFNameObject> key, std::unique_ptr<TkvPDFObject> value) {
  key = Required(std::move(key));
  value = Required(std::move(value));
  entries_.push_back({std::move(key), std::move(value)});
}

void TkvPDFDictObject::AddEntry(const std::string& key, std::unique_ptr<TkvPDFObject> value) {
  Add(std::make_unique<TkvPDFNameObject>(key), std::move(value));
}

void TkvPDFDictObject::AddInteger(const std::string& key, int32_t n) {
  AddEntry(key, std::make_unique<TkvPDFIntegerObject>(n));
}

void TkvPDFDictObject::AddName(const std::string& key, const std::string& name) {
  if (name.empty()) return;
  AddEntry(key, std::make_unique<TkvPDFNameObject>(name));
}

int TkvPDFDictObject::IndexOf(const std::string& key) const {
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].Key->Text == key) return static_cast<int>(i);
  return -1;
}

TkvPDFObject* TkvPDFDictObject::Find(const std::string& key) const {
  int i = IndexOf(key);
  return i < 0 ? nullptr : entries_[static_cast<size_t>(i)].Value.get();
}

TkvPDFNameObject* TkvPDFDictObject::KeyAt(int i) const {
  CheckIndex(i);
  return entries_[static_cast<size_t>(i)].Key.get();
}

TkvPDFObject* TkvPDFDictObject::ValueAt(int i) const {
  CheckIndex(i);
  return entries_[static_cast<size_t>(i)].Value.get();
}

void TkvPDFDictObject::SetValue(const std::string& key, std::unique_ptr<TkvPDFObject> value) {
  value = Required(std::move(value));
  int i = IndexOf(key);
  if (i >= 0)
    entries_[static_cast<size_t>(i)].Value = std::move(value);
  else
    AddEntry(key, std::move(value));
}

void TkvPDFDictObject::SetName(const std::string& key, const std::string& name) {
  SetValue(key, std::make_unique<TkvPDFNameObject>(name));
}

void TkvPDFDictObject::SetBoolean(const std::string& key, bool v) {
  SetValue(key, std::make_unique<TkvPDFBooleanObject>(v));
}

void TkvPDFDictObject::SetInteger(const std::string& key, int32_t v) {
  SetValue(key, std::make_unique<TkvPDFIntegerObject>(v));
}

void TkvPDFDictObject::SetByName(const TkvPDFNameObject& key, std::unique_ptr<TkvPDFObject> value) {
  SetValue(key.Text, std::move(value));
}

std::unique_ptr<TkvPDFObject> TkvPDFDictObject::PutValueAt(int i, std::unique_ptr<TkvPDFObject> value) {
  if (i >= Count()) throw EInvalidIndex(SInvalidIndex);
  if (i < 0) RaiseListIndex(i);
  value = Required(std::move(value));
  entries_[static_cast<size_t>(i)].Value.swap(value);
  return value;
}

void TkvPDFDictObject::DeleteAt(int i) {
  CheckIndex(i);
  entries_.erase(entries_.begin() + i);
}

void TkvPDFDictObject::Remove(const std::string& key) {
  int i = IndexOf(key);
  if (i >= 0) DeleteAt(i);
}

void TkvPDFDictObject::Merge(const TkvPDFDictObject* other) {
  if (!other) return;
  if (other == this) {
    // Merging a dictionary into itself replaces each value by a clone of
    // itself: nothing changes.
    return;
  }
  for (int i = 0; i < other->Count(); ++i) SetByName(*other->KeyAt(i), other->ValueAt(i)->Clone());
}

// ---- stream -----------------------------------------------------------------

TkvPDFStreamObject::TkvPDFStreamObject(std::unique_ptr<TkvPDFDictObject> dict,
                                       std::unique_ptr<rtl::TMemoryStream> data)
    : TkvPDFObject(otStream), Dict(std::move(dict)), Data(std::move(data)) {}

std::unique_ptr<TkvPDFObject> TkvPDFStreamObject::Clone() const {
  std::unique_ptr<TkvPDFDictObject> d = Dict ? CloneAs(*Dict) : nullptr;
  std::unique_ptr<rtl::TMemoryStream> data;
  if (Data) {
    data = std::make_unique<rtl::TMemoryStream>();
    if (Data->Size() > 0) data->WriteBuffer(Data->Memory(), Data->Size());
    data->SetPosition(0);
  }
  auto copy = std::make_unique<TkvPDFStreamObject>(std::move(d), std::move(data));
  copy->Pending = Pending;
  copy->PendingOffset = PendingOffset;
  copy->PendingCount = PendingCount;
  return copy;
}

std::string TkvPDFStreamObject::StoredBytes() const {
  if (Data) return Data->DataString();
  if (Pending) return Pending->ReadAt(PendingOffset, PendingCount);
  return {};
}

int64_t TkvPDFStreamObject::StoredSize() const {
  if (Data) return Data->Size();
  return Pending ? PendingCount : 0;
}

rtl::TMemoryStream* TkvPDFStreamObject::LoadData() {
  if (!Data && Pending) {
    const std::string bytes = Pending->ReadAt(PendingOffset, PendingCount);
    auto data = std::make_unique<rtl::TMemoryStream>();
    if (!bytes.empty()) data->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    data->SetPosition(0);
    Data = std::move(data);
    Pending.reset();
    PendingOffset = PendingCount = 0;
  }
  return Data.get();
}

// ---- indirect object --------------------------------------------------------

TkvPDFIndirectObject::TkvPDFIndirectObject(int32_t sourceID, int32_t objNum, uint16_t genNum,
                                           std::unique_ptr<TkvPDFObject> value, bool addRef)
    : TkvPDFObject(otIndirectObject),
      SourceID(sourceID),
      ObjNum(objNum),
      GenNum(genNum),
      Value(std::move(value)) {
  if (addRef) AddRef();
}

std::unique_ptr<TkvPDFObject> TkvPDFIndirectObject::Clone() const {
  auto o = std::make_unique<TkvPDFIndirectObject>(SourceID, ObjNum, GenNum, Value ? Value->Clone() : nullptr);
  o->OutputObjNum = OutputObjNum;
  o->RefCount = RefCount;
  return o;
}

}  // namespace pdf
