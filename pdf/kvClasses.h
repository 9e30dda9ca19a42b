// Foundation of the PDF library: its exception base, the component base, a
// memory stream with big-endian access, the stream adapters the syntax reader
// and the writer stand on, and a list of (unique ID, object) pairs.
//
// Ownership: the stream adapters keep a pointer to the stream they wrap and
// never own it; the stream must outlive the adapter. TkvObjectList borrows
// its objects: Clear and the destructor free nothing; only Merge frees (the
// duplicates it refuses).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

namespace pdf {

// The run-time's root exception under a plain name, so that
// RTL_DECLARE_EXCEPTION can inherit its constructor.
using RtlException = rtl::Exception;

RTL_DECLARE_EXCEPTION(TkvException, RtlException);
RTL_DECLARE_EXCEPTION(EInvalidID, TkvException);
RTL_DECLARE_EXCEPTION(EInvalidStream, TkvException);
// The library's own read error (not the class library's rtl::EReadError).
RTL_DECLARE_EXCEPTION(EReadError, TkvException);

inline constexpr const char* SInvalidStream = "Invalid Stream! Cannot create with null stream";
inline constexpr const char* SFilterCannotRead = "A write-only filter cannot read";
inline constexpr const char* SInvalidUniqueID = "Invalid unique ID (%d)";

// Root of every library object that a TkvObjectList can hold and free.
//
// A loaded document is tens of thousands of these, most of a few dozen
// bytes, made and freed together: they come from the library's own pool
// (chunks of many objects taken from the system at once, one free list per
// size), not one allocation each from the general heap. Builds under
// AddressSanitizer bypass the pool, so that it sees every object.
class TkvObject {
 public:
  virtual ~TkvObject() = default;
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size) noexcept;
};

// The bytes the pool holds from the system, in use or free. When its last
// block is freed it gives back all but its first chunk. 0 where the pool
// is bypassed.
std::size_t TkvObjectPoolBytes();

// A block of the pool (size bytes, aligned as operator new aligns), for the
// item lists of library objects; larger blocks come from operator new.
// TkvPoolRelease takes the size the block was allocated with.
void* TkvPoolAllocate(std::size_t size);
void TkvPoolRelease(void* p, std::size_t size) noexcept;

// Allocator over TkvPoolAllocate, for the containers inside library objects.
template <typename T>
struct TkvPoolAllocator {
  using value_type = T;
  TkvPoolAllocator() = default;
  template <typename U>
  TkvPoolAllocator(const TkvPoolAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(TkvPoolAllocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { TkvPoolRelease(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const TkvPoolAllocator<U>&) const noexcept {
    return true;
  }
};

// Base of the library's components. About and Version are published for the
// designer only: they always read empty and their setters ignore the value.
class TkvComponent : public rtl::TComponent {
 public:
  explicit TkvComponent(rtl::TComponent* owner = nullptr) : rtl::TComponent(owner) {}
  std::string About() const { return about_; }
  void SetAbout(const std::string&) {}
  std::string Version() const { return version_; }
  void SetVersion(const std::string&) {}

 private:
  std::string about_;
  std::string version_;
};

// Memory stream with big-endian number access (TrueType tables, ASCII
// filters). Reads past the end raise rtl::EReadError.
class TkvExtMemStream : public rtl::TMemoryStream {
 public:
  uint8_t ReadByte();
  uint16_t ReadWordBE();
  uint32_t ReadLongBE();
  // Sets s to length n and reads up to n bytes into it; returns the count
  // read. The tail beyond the count is zero bytes.
  int64_t ReadChars(int64_t n, std::string& s);
  // Moves the position by n, clamped to 0..Size.
  void SkipClamped(int64_t n);

  void WriteByte(uint8_t b);
  void WriteBytes(const std::vector<uint8_t>& bytes);
  void WriteChars(const std::string& s);
  void WriteWordBE(uint16_t v);
  void WriteLongBE(uint32_t v);
  // Pads the stream with zero bytes to a multiple of 4 (at the end);
  // LastPadCount is the number written.
  void PadToLong();

  int64_t LastPadCount = 0;
};

// Read-only view of a stream with the character operations of the syntax
// reader. ReadChar and PeekChar return 0..255, or kEndOfData at the end of the
// data (where nothing is read and the position does not move).
//
// The syntax reader reads one character at a time, and two virtual calls (or
// two system calls, over a file) per character cost far more than the
// parsing. So the adapter keeps its own position (starting at the source's)
// and reads through a window of the source's bytes: over a TMemoryStream the
// window is the stream's memory itself. Over any other stream the window is
// one of kWindowCount blocks read from the source, the blocks last used
// kept: the reader goes from object to object back and forth, mostly within
// a few blocks, and each block is read once by one call (pread over a file,
// a seek and a read over other streams). A block starts where the reader
// first needs a byte outside the blocks it holds (a little before it), and
// is kMinWindow bytes long where the reader jumps there; where it reads on
// from the end of a block, the next block is twice that block's length, up
// to kWindowSize. So a reader hopping from object to object over large
// stream bodies copies little more than it parses, and one reading a run of
// objects reads them in a few calls. A read of a quarter of kWindowSize
// or more (a stream's body) goes to the source directly. The source must therefore not be written while the
// adapter is in use, and its own position does not follow the adapter's.
class TkvReadOnlyFilter : public rtl::TStream {
 public:
  static constexpr int kEndOfData = -1;
  // The longest and the shortest block.
  static constexpr int64_t kWindowSize = 64 * 1024;
  static constexpr int64_t kMinWindow = 1024;
  static constexpr int64_t kStepBack = 64;
  static constexpr int kWindowCount = 8;

  // source must not be null (EInvalidStream); not owned.
  explicit TkvReadOnlyFilter(rtl::TStream* source);

  int64_t Read(void* buffer, int64_t count) override;
  // Always raises EReadError: the adapter never writes.
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override;
  int64_t Size() override { return SourceSize; }

  int ReadChar() {
    const int64_t i = pos_ - winStart_;
    if (i >= 0 && i < winLen_) {
      ++pos_;
      return window_[i];
    }
    return ReadCharOutsideWindow();
  }
  int PeekChar() {
    const int64_t i = pos_ - winStart_;
    if (i >= 0 && i < winLen_) return window_[i];
    return PeekCharOutsideWindow();
  }
  // Sets s to length n and reads up to n bytes; returns the count read (the
  // tail is zero bytes). PeekString then moves back by that count.
  int64_t ReadString(int64_t n, std::string& s);
  int64_t PeekString(int64_t n, std::string& s);
  void SkipBytes(int64_t n);
  void StepBack();
  // Moves over the bytes b for which stop[b] is false, up to the first for
  // which it is true (not read) or the end of the data; appends them to out
  // when out is given. stop has 256 entries. One pass over the window, not a
  // call per character.
  void ScanRun(const bool* stop, std::string* out);

  rtl::TStream& Source() { return *source_; }
  // The source's size, taken once at construction.
  int64_t SourceSize = 0;

 private:
  int ReadCharOutsideWindow();
  int PeekCharOutsideWindow();
  // Makes a block that holds the position the window, reading one when none
  // is kept; false at the end of the data.
  bool FillWindow();
  // Reads count bytes at offset from the source itself.
  int64_t ReadFromSource(int64_t offset, void* buffer, int64_t count);

  rtl::TStream* source_;
  bool direct_ = false;  // the source is a TMemoryStream: its memory is the window
  struct Block {
    int64_t Start = 0;
    int64_t Length = 0;  // 0: holds nothing
    int64_t Asked = 0;   // the length asked of the source (Length is less at the end)
    uint64_t LastUse = 0;
    std::unique_ptr<uint8_t[]> Bytes;  // kWindowSize bytes once used
  };
  Block blocks_[kWindowCount];  // the windows of any other source
  uint64_t useClock_ = 0;
  const uint8_t* window_ = nullptr;
  int64_t winStart_ = 0;  // source offset of window_[0]
  int64_t winLen_ = 0;
  int64_t pos_ = 0;         // the adapter's position
  int64_t sourcePos_ = -1;  // where the source's own position stands, -1 unknown
  int fd_ = -1;             // a file source's descriptor, read at offsets
};

// The adapter the syntax reader derives from; it adds nothing.
class TkvRandomAccessFilter : public TkvReadOnlyFilter {
 public:
  using TkvReadOnlyFilter::TkvReadOnlyFilter;
};

// Write-only view of a stream (the writer's output). Read raises EReadError.
class TkvWriteOnlyFilter : public rtl::TStream {
 public:
  // destination must not be null (EInvalidStream); not owned.
  explicit TkvWriteOnlyFilter(rtl::TStream* destination);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override;

 private:
  rtl::TStream* destination_;
};

struct TkvObjectPair {
  int64_t ID = 0;
  TkvObject* Object = nullptr;  // borrowed
};

// Ordered list of (ID, object) pairs with the library's growth rule. Lookups
// are linear. Objects are borrowed (see the file comment).
class TkvObjectList : public rtl::TPersistent {
 public:
  TkvObjectList() = default;
  ~TkvObjectList() override { Clear(); }
  TkvObjectList(const TkvObjectList&) = delete;
  TkvObjectList& operator=(const TkvObjectList&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  int Capacity() const { return capacity_; }
  // Appends; returns the index of the new pair. A negative ID raises EInvalidID.
  int Add(int64_t id, TkvObject* obj);
  // Inserts before index (0..Count); bad index: rtl::EListError.
  void Insert(int index, int64_t id, TkvObject* obj);
  // Bounds-checked: rtl::EListError "List index out of bounds (%d)".
  TkvObject* Objects(int index) const;
  void GetItem(int index, TkvObjectPair& pair) const;
  // First index with this ID, or -1.
  int IndexOf(int64_t id) const;
  // Forgets every pair and releases the array; frees no object.
  void Clear();
  // Takes over every pair of other whose ID is new here (appended in order)
  // and frees the objects of the others (this list keeps its own). other is
  // left empty, so it holds no pointer to a freed or moved object.
  void Merge(TkvObjectList& other);

 private:
  void Grow();
  void CheckIndex(int index) const;

  std::vector<TkvObjectPair> items_;
  int capacity_ = 0;
};

}  // namespace pdf
