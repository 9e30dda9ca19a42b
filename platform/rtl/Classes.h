// Streams and the component base of the class library.
//
// TStream is the abstract byte stream every reader and writer of the system
// works on. Read may return fewer bytes than asked (at the end of the data);
// ReadBuffer and WriteBuffer demand the whole count and raise EReadError /
// EWriteError otherwise. Positions and sizes are 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>
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
  std::string DataString() const { return std::string(reinterpret_cast<const char*>(data_.data()), static_cast<size_t>(size_)); }

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

class TPersistent {
 public:
  virtual ~TPersistent() = default;
};

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

}  // namespace rtl
