// In-memory PDF objects: one class per object type under TkvPDFObject.
//
// Ownership: containers own what they hold (an array its items, a dictionary
// its keys and values, a stream its Dict and Data, an indirect object its
// Value) and take it as std::unique_ptr. Lookups (GetItem, Find, ValueAt)
// return borrowed pointers. An object placed in a second container must be a
// Clone. A reference owns nothing. No container ever holds a null pointer:
// adding or storing nullptr raises ENullObjectError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pdf/kvClasses.h"
#include "platform/rtl/Classes.h"

namespace pdf {

enum TkvPDFObjectType : uint8_t {
  otBoolean = 0,
  otInteger = 1,
  otInt64 = 2,
  otReal = 3,
  otString = 4,
  otName = 5,
  otArray = 6,
  otDict = 7,
  otStream = 8,
  otNull = 9,
  otIndirectReference = 10,
  otIndirectObject = 11,
};

class TkvPDFObject : public TkvObject {
 public:
  ~TkvPDFObject() override = default;
  TkvPDFObject(const TkvPDFObject&) = delete;
  TkvPDFObject& operator=(const TkvPDFObject&) = delete;

  // A deep copy, owned by the caller.
  virtual std::unique_ptr<TkvPDFObject> Clone() const = 0;

  bool IsBoolean() const { return ObjectType == otBoolean; }
  bool IsInteger() const { return ObjectType == otInteger; }
  bool IsInt64() const { return ObjectType == otInt64; }
  bool IsReal() const { return ObjectType == otReal; }
  bool IsString() const { return ObjectType == otString; }
  bool IsName() const { return ObjectType == otName; }
  bool IsArray() const { return ObjectType == otArray; }
  bool IsDict() const { return ObjectType == otDict; }
  bool IsStream() const { return ObjectType == otStream; }
  bool IsNull() const { return ObjectType == otNull; }
  bool IsReference() const { return ObjectType == otIndirectReference; }
  bool IsIndirectObject() const { return ObjectType == otIndirectObject; }

  // "Boolean Object", "Integer Object", ... for messages.
  std::string TypeName() const;
  // Booleans "true"/"false", integers in decimal, reals in plain fixed
  // notation with the shortest digits that read back the same value (never
  // an exponent, "." whatever the locale). Empty for the other types.
  std::string ValueText() const;

  // Checked downcast: rtl::EInvalidCast when the object is of another class.
  template <typename T>
  T& As();
  template <typename T>
  const T& As() const;

  const TkvPDFObjectType ObjectType;

 protected:
  explicit TkvPDFObject(TkvPDFObjectType type) : ObjectType(type) {}
};

// The type name of a code (also used where no object is at hand).
std::string TypeNameOf(TkvPDFObjectType type);
[[noreturn]] void RaiseInvalidCast();

template <typename T>
T& TkvPDFObject::As() {
  auto* p = dynamic_cast<T*>(this);
  if (!p) RaiseInvalidCast();
  return *p;
}

template <typename T>
const T& TkvPDFObject::As() const {
  auto* p = dynamic_cast<const T*>(this);
  if (!p) RaiseInvalidCast();
  return *p;
}

// Clone with the static type kept.
template <typename T>
std::unique_ptr<T> CloneAs(const T& obj) {
  return std::unique_ptr<T>(static_cast<T*>(obj.Clone().release()));
}

class TkvPDFBooleanObject : public TkvPDFObject {
 public:
  explicit TkvPDFBooleanObject(bool value) : TkvPDFObject(otBoolean), Value(value) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;
  bool Value;
};

class TkvPDFIntegerObject : public TkvPDFObject {
 public:
  explicit TkvPDFIntegerObject(int32_t value) : TkvPDFObject(otInteger), Value(value) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;
  int32_t Value;
};

class TkvPDFInt64Object : public TkvPDFObject {
 public:
  explicit TkvPDFInt64Object(int64_t value) : TkvPDFObject(otInt64), Value(value) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;
  int64_t Value;
};

class TkvPDFRealObject : public TkvPDFObject {
 public:
  explicit TkvPDFRealObject(double value) : TkvPDFObject(otReal), Value(value) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;
  double Value;
};

// Text holds the delimiters: "(" + resolved bytes + ")" for a literal
// string, "<" + hex digits as read + ">" when IsHex.
class TkvPDFStringObject : public TkvPDFObject {
 public:
  explicit TkvPDFStringObject(std::string text, bool isHex = false)
      : TkvPDFObject(otString), Text(std::move(text)), IsHex(isHex) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;
  // Text without its first and last character.
  std::string Content() const;
  // Display text: DecodeHexText or DecodeLiteralText (kvPDFUtils) of
  // Content, widened from the system code page.
  std::u16string AsWideText() const;

  std::string Text;
  bool IsHex;
};

// Text keeps the leading "/"; "#" sequences are not decoded.
class TkvPDFNameObject : public TkvPDFObject {
 public:
  explicit TkvPDFNameObject(std::string text) : TkvPDFObject(otName), Text(std::move(text)) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;
  std::string BareName() const { return Text.empty() ? Text : Text.substr(1); }
  std::string Text;
};

class TkvPDFArrayObject : public TkvPDFObject {
 public:
  TkvPDFArrayObject() : TkvPDFObject(otArray) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;

  int Count() const { return static_cast<int>(items_.size()); }
  // Appends and takes ownership; returns the new index.
  int Add(std::unique_ptr<TkvPDFObject> item);
  int AddInteger(int32_t n);
  // Inserts before index (0..Count), else rtl::EListError.
  void Insert(int index, std::unique_ptr<TkvPDFObject> item);
  // Borrowed; nullptr when the index is out of range.
  TkvPDFObject* GetItem(int index) const;
  // Stores item at index and hands the previous item back to the caller.
  // Out of range: rtl::EListError.
  std::unique_ptr<TkvPDFObject> PutItem(int index, std::unique_ptr<TkvPDFObject> item);
  // Removes and frees the item; out of range: rtl::EListError.
  void Delete(int index);
  // Room for n items in all: a reader that knows the count allocates once.
  void Reserve(int n);

 private:
  std::vector<std::unique_ptr<TkvPDFObject>, TkvPoolAllocator<std::unique_ptr<TkvPDFObject>>> items_;
};

// Entries keep insertion order; a key may occur twice (Add, AddEntry);
// lookups by key text (with the "/", case-sensitive) find the first.
class TkvPDFDictObject : public TkvPDFObject {
 public:
  TkvPDFDictObject() : TkvPDFObject(otDict) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;

  int Count() const { return static_cast<int>(entries_.size()); }
  void Add(std::unique_ptr<TkvPDFNameObject> key, std::unique_ptr<TkvPDFObject> value);
  void AddEntry(const std::string& key, std::unique_ptr<TkvPDFObject> value);
  void AddInteger(const std::string& key, int32_t n);
  // Does nothing when name is empty.
  void AddName(const std::string& key, const std::string& name);
  int IndexOf(const std::string& key) const;
  // Borrowed value of the first entry with this key, or nullptr.
  TkvPDFObject* Find(const std::string& key) const;
  // Borrowed; out of range: rtl::EListError.
  TkvPDFNameObject* KeyAt(int i) const;
  TkvPDFObject* ValueAt(int i) const;
  // Replaces the value of the first entry with this key (freeing the old
  // one, keeping the position), or appends a new entry.
  void SetValue(const std::string& key, std::unique_ptr<TkvPDFObject> value);
  void SetName(const std::string& key, const std::string& name);
  void SetBoolean(const std::string& key, bool v);
  void SetInteger(const std::string& key, int32_t v);
  void SetByName(const TkvPDFNameObject& key, std::unique_ptr<TkvPDFObject> value);
  // Stores value at i and hands the old value back; i >= Count raises
  // EInvalidIndex, a negative i rtl::EListError.
  std::unique_ptr<TkvPDFObject> PutValueAt(int i, std::unique_ptr<TkvPDFObject> value);
  void DeleteAt(int i);
  // Removes the first entry with this key, if any.
  void Remove(const std::string& key);
  // SetByName of a clone of each entry of other, in order; nullptr: nothing.
  void Merge(const TkvPDFDictObject* other);
  // Room for n entries in all: a reader that knows the count allocates once.
  void Reserve(int n);

 private:
  void CheckIndex(int i) const;
  // Key and value side by side: one allocation for the entries, not two.
  struct TEntry {
    std::unique_ptr<TkvPDFNameObject> Key;
    std::unique_ptr<TkvPDFObject> Value;
  };
  std::vector<TEntry, TkvPoolAllocator<TEntry>> entries_;
};

// Where the stored bytes of streams lie while they are still only in a
// source file: shared by the streams of one loaded file and their clones,
// so a document holds what it parsed, not the file's image data.
class TkvStoredDataSource {
 public:
  virtual ~TkvStoredDataSource() = default;
  // The count bytes at offset; raises EReadError when they cannot all be
  // read as they were when the file was loaded.
  virtual std::string ReadAt(int64_t offset, int64_t count) = 0;
};

// Dict is the stream dictionary; Data the stored bytes (after decryption,
// still encoded by the filters), nullptr until the document layer reads them.
// The document layer may instead leave them pending: Pending's PendingCount
// bytes at PendingOffset, read when asked for (Data stays nullptr then).
class TkvPDFStreamObject : public TkvPDFObject {
 public:
  explicit TkvPDFStreamObject(std::unique_ptr<TkvPDFDictObject> dict,
                              std::unique_ptr<rtl::TMemoryStream> data = nullptr);
  std::unique_ptr<TkvPDFObject> Clone() const override;

  // Whether there are stored bytes, read or pending.
  bool HasData() const { return Data || Pending; }
  // A copy of the stored bytes (empty when none); pending bytes are read
  // for the copy and stay pending.
  std::string StoredBytes() const;
  int64_t StoredSize() const;
  // Reads pending bytes into Data, so that they can be changed in place;
  // returns Data (nullptr when there are no stored bytes).
  rtl::TMemoryStream* LoadData();

  std::unique_ptr<TkvPDFDictObject> Dict;
  std::unique_ptr<rtl::TMemoryStream> Data;
  std::shared_ptr<TkvStoredDataSource> Pending;
  int64_t PendingOffset = 0;
  int64_t PendingCount = 0;
};

class TkvPDFNullObject : public TkvPDFObject {
 public:
  TkvPDFNullObject() : TkvPDFObject(otNull) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;
};

// "ObjNum GenNum R" read from the document with id SourceID.
class TkvPDFIndirectReference : public TkvPDFObject {
 public:
  TkvPDFIndirectReference(int32_t sourceID, int32_t objNum, uint16_t genNum)
      : TkvPDFObject(otIndirectReference), SourceID(sourceID), ObjNum(objNum), GenNum(genNum) {}
  std::unique_ptr<TkvPDFObject> Clone() const override;
  int32_t SourceID;
  int32_t ObjNum;
  uint16_t GenNum;
};

// "ObjNum GenNum obj Value endobj". RefCount counts the uses the writer
// registered (0: not written); OutputObjNum is the number in the new file.
class TkvPDFIndirectObject : public TkvPDFObject {
 public:
  TkvPDFIndirectObject(int32_t sourceID, int32_t objNum, uint16_t genNum, std::unique_ptr<TkvPDFObject> value,
                       bool addRef = false);
  std::unique_ptr<TkvPDFObject> Clone() const override;
  void AddRef() { ++RefCount; }

  int32_t SourceID;
  int32_t ObjNum;
  uint16_t GenNum;
  int32_t OutputObjNum = 0;
  int32_t RefCount = 0;
  std::unique_ptr<TkvPDFObject> Value;  // may be nullptr
};

}  // namespace pdf
