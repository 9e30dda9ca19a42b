// Streams and the component base of the class library.
//
// TStream is the abstract byte stream every reader and writer of the system
// works on. Read may return fewer bytes than asked (at the end of the data);
// ReadBuffer and WriteBuffer demand the whole count and raise EReadError /
// EWriteError otherwise. Positions and sizes are 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace rtl {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to count bytes; returns the number read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to count bytes; returns the number written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  virtual int64_t Size();
  virtual void SetSize(int64_t newSize);
  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }

  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's current position; count 0 copies the
  // whole source from its start. Returns the number of bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);

  // Convenience for byte strings.
  void WriteString(const std::string& s) { WriteBuffer(s.data(), static_cast<int64_t>(s.size())); }
};

// A stream over a growable block of memory that the stream owns.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return size_; }
  void SetSize(int64_t newSize) override;

  // The stream's bytes; valid until the next write or resize.
  uint8_t* Memory() { return data_.data(); }
  const uint8_t* Memory() const { return data_.data(); }
  void Clear();
  void LoadFromStream(TStream& source);
  void LoadFromFile(const std::string& fileName);
  void SaveToStream(TStream& dest);
  void SaveToFile(const std::string& fileName);
  // A copy of the whole content as a byte string.
  std::string DataString() const {
    return std::string(reinterpret_cast<const char*>(data_.data()), static_cast<size_t>(size_));
  }

 private:
  std::vector<uint8_t> data_;
  int64_t size_ = 0;
  int64_t pos_ = 0;
};

// File open modes; the share flags of the design are accepted and ignored.
enum : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareCompat = 0x0000,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,
};

// A stream over an open file. fmCreate creates or truncates the file
// (EFCreateError on failure); the open modes raise EFOpenError.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, uint16_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  const std::string& FileName() const { return fileName_; }
  int Handle() const { return fd_; }

 private:
  std::string fileName_;
  int fd_ = -1;
};

// A stream over a byte string that it owns (a read-mostly convenience).
class TStringStream : public TMemoryStream {
 public:
  TStringStream() = default;
  explicit TStringStream(const std::string& s);
};

// The root of the objects a string list can carry beside its strings.
class TObject {
 public:
  virtual ~TObject() = default;
};

class TPersistent : public TObject {};

// A component owns the components created with it as their owner, and frees
// them (last created first) when it is freed.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;
  // Finds an owned component by name (case-insensitive); nullptr if none.
  TComponent* FindComponent(const std::string& name) const;

  std::string Name;
  int Tag = 0;

 private:
  void InsertComponent(TComponent* c) { components_.push_back(c); }
  void RemoveComponent(TComponent* c);

  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;  // owned
};

enum TDuplicates { dupIgnore, dupAccept, dupError };

// A list of byte strings, each with an optional object beside it. Objects
// are borrowed unless OwnsObjects is set, in which case the list deletes an
// entry's object when the entry goes (Delete, Clear, the destructor,
// replacing it with PutObject). Comparisons ignore the case of ASCII letters
// unless CaseSensitive is set. Index errors raise EStringListError
// "List index out of bounds (i)".
class TStringList : public TPersistent {
 public:
  TStringList() = default;
  explicit TStringList(bool ownsObjects) : OwnsObjects(ownsObjects) {}
  ~TStringList() override;
  // Copies strings and object pointers, never ownership.
  TStringList(const TStringList& other);
  TStringList& operator=(const TStringList& other);

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Strings(int index) const;
  void PutStrings(int index, const std::string& s);
  const std::string& operator[](int index) const { return Strings(index); }
  TObject* Objects(int index) const;
  void PutObject(int index, TObject* obj);

  // On a sorted list Add inserts in order and applies Duplicates; returns the index.
  int Add(const std::string& s);
  int AddObject(const std::string& s, TObject* obj);
  void AddStrings(const TStringList& other);
  void Insert(int index, const std::string& s);
  void InsertObject(int index, const std::string& s, TObject* obj);
  void Delete(int index);
  void Clear();
  void Exchange(int a, int b);
  void Move(int from, int to);
  // Copies the strings and object pointers of other (never its ownership).
  void Assign(const TStringList& other);

  int IndexOf(const std::string& s) const;
  int IndexOfObject(const TObject* obj) const;
  int IndexOfName(const std::string& name) const;
  // Binary search of a sorted list: true and the index when found, else
  // false and the index where s would go.
  bool Find(const std::string& s, int& index) const;

  void Sort();
  void CustomSort(const std::function<int(const TStringList&, int, int)>& compare);
  bool Sorted() const { return sorted_; }
  void SetSorted(bool value);
  TDuplicates Duplicates = dupIgnore;
  bool CaseSensitive = false;
  bool OwnsObjects = false;

  // "name=value" entries.
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  std::string Values(const std::string& name) const;
  // An empty value removes the entry, as in the design.
  void SetValues(const std::string& name, const std::string& value);
  char NameValueSeparator = '=';

  // Every string followed by a line break; the setter splits at CR, LF and CR LF.
  std::string Text() const;
  void SetText(const std::string& text);
  std::string LineBreak = "\n";

  // Strings joined by Delimiter, quoted with QuoteChar when they hold a blank,
  // a control character, the quote or the delimiter. The setter splits at
  // the delimiter and, outside quotes, at blanks.
  std::string DelimitedText() const;
  void SetDelimitedText(const std::string& text);
  char Delimiter = ',';
  char QuoteChar = '"';
  // DelimitedText with "," and '"'.
  std::string CommaText() const;
  void SetCommaText(const std::string& text);

  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName) const;
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;

  // Called after every change of the content.
  std::function<void(TStringList&)> OnChange;
  void BeginUpdate() { ++updating_; }
  void EndUpdate();

 private:
  struct Item {
    std::string s;
    TObject* obj = nullptr;
  };
  int Compare(const std::string& a, const std::string& b) const;
  std::string Join(char delimiter, char quote) const;
  void Split(const std::string& text, char delimiter, char quote);
  void CheckIndex(int index) const;
  void FreeObject(TObject* obj);
  void InsertItem(int index, const std::string& s, TObject* obj);
  void Changed();

  std::vector<Item> items_;
  bool sorted_ = false;
  int updating_ = 0;
  bool changedWhileUpdating_ = false;
};

// Callers that take "a list of strings" use the one string list class.
using TStrings = TStringList;

}  // namespace rtl
