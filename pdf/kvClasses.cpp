#include "pdf/kvClasses.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_set>

#if defined(__SANITIZE_ADDRESS__)
#define KV_OBJECT_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_OBJECT_POOL 0
#endif
#endif
#ifndef KV_OBJECT_POOL
#define KV_OBJECT_POOL 1
#endif

namespace pdf {

// ---- TkvObject and its pool -------------------------------------------------

namespace {

// A lock held for a few instructions at a time: a waiter spins (yielding)
// rather than sleep, and taking it costs one atomic exchange.
class TSpinLock {
 public:
  void lock() noexcept {
    while (held_.exchange(true, std::memory_order_acquire))
      while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

// Objects up to kLargest bytes, in sizes rounded up to kGrain (the
// alignment that operator new promises), carved from chunks that double
// from kFirstChunk up to kLargestChunk. A chunk is mapped with its pages
// made present in one call: touching them one by one would cost a page
// fault each, which costs more than the parsing of what lives on them.
// Freed objects go to the free list of their size and are used again
// first. One lock: the library is used from one thread per document, but
// objects of different documents may live on different threads.
class TObjectPool {
 public:
  static constexpr size_t kGrain = 16;
  static constexpr size_t kLargest = 256;
  static constexpr size_t kFirstChunk = 64 * 1024;
  static constexpr size_t kLargestChunk = 2 * 1024 * 1024;

  static bool Holds(size_t size) { return size <= kLargest; }

  void* Allocate(size_t size) {
    const size_t cls = ClassOf(size);
    std::lock_guard<TSpinLock> lock(lock_);
    void* p;
    if (TFree* f = free_[cls]) {
      free_[cls] = f->Next;
      p = f;
    } else {
      const size_t bytes = (cls + 1) * kGrain;
      if (static_cast<size_t>(end_ - next_) < bytes) NewChunk();
      p = next_;
      next_ += bytes;
    }
    ++live_;
    return p;
  }

  void Release(void* p, size_t size) noexcept {
    const size_t cls = ClassOf(size);
    std::lock_guard<TSpinLock> lock(lock_);
    auto* f = static_cast<TFree*>(p);
    f->Next = free_[cls];
    free_[cls] = f;
    if (--live_ == 0) GiveBack();
  }

  size_t Bytes() {
    std::lock_guard<TSpinLock> lock(lock_);
    size_t total = 0;
    for (const TChunk& c : chunks_) total += c.Size;
    return total;
  }

 private:
  struct TFree {
    TFree* Next;
  };
  struct TChunk {
    void* Start;
    size_t Size;
  };

  static size_t ClassOf(size_t size) { return size == 0 ? 0 : (size - 1) / kGrain; }

  // Throws std::bad_alloc when the system refuses, as operator new must.
  void NewChunk() {
    const size_t size = std::min(kLargestChunk, kFirstChunk << std::min<size_t>(chunks_.size(), 8));
    chunks_.reserve(chunks_.size() + 1);
    void* p =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    chunks_.push_back({p, size});
    next_ = static_cast<char*>(p);
    end_ = next_ + size;
  }

  // Nothing is in use: every chunk but the first goes back to the system,
  // and the first is carved anew.
  void GiveBack() noexcept {
    if (chunks_.empty()) return;
    for (size_t i = 1; i < chunks_.size(); ++i) ::munmap(chunks_[i].Start, chunks_[i].Size);
    chunks_.resize(1);
    for (TFree*& f : free_) f = nullptr;
    next_ = static_cast<char*>(chunks_[0].Start);
    end_ = next_ + chunks_[0].Size;
  }

  TSpinLock lock_;
  TFree* free_[kLargest / kGrain] = {};
  std::vector<TChunk> chunks_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  size_t live_ = 0;
};

// Never destroyed: objects of static lifetime may be freed after every
// other static is gone.
TObjectPool& Pool() {
  alignas(TObjectPool) static unsigned char storage[sizeof(TObjectPool)];
  static TObjectPool* pool = new (storage) TObjectPool;
  return *pool;
}

}  // namespace

void* TkvPoolAllocate(std::size_t size) {
  if (KV_OBJECT_POOL && TObjectPool::Holds(size)) return Pool().Allocate(size);
  return ::operator new(size);
}

void TkvPoolRelease(void* p, std::size_t size) noexcept {
  if (!p) return;
  if (KV_OBJECT_POOL && TObjectPool::Holds(size)) return Pool().Release(p, size);
  ::operator delete(p);
}

void* TkvObject::operator new(std::size_t size) {
  return TkvPoolAllocate(size);
}

void TkvObject::operator delete(void* p, std::size_t size) noexcept {
  TkvPoolRelease(p, size);
}

std::size_t TkvObjectPoolBytes() {
  return KV_OBJECT_POOL ? Pool().Bytes() : 0;
}

// ---- TkvExtMemStream --------------------------------------------------------

uint8_t TkvExtMemStream::ReadByte() {
  uint8_t b = 0;
  ReadBuffer(&b, 1);
  return b;
}

uint16_t TkvExtMemStream::ReadWordBE() {
  uint8_t b[2];
  ReadBuffer(b, 2);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

uint32_t TkvExtMemStream::ReadLongBE() {
  uint8_t b[4];
  ReadBuffer(b, 4);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

int64_t TkvExtMemStream::ReadChars(int64_t n, std::string& s) {
  if (n <= 0) {
    s.clear();
    return 0;
  }
  s.assign(static_cast<size_t>(n), '\0');
  return Read(s.data(), n);
}

void TkvExtMemStream::SkipClamped(int64_t n) {
  int64_t pos = Position();
  int64_t size = Size();
  // Compared before adding, so that no count can overflow the position.
  int64_t target = n >= size - pos ? size : n <= -pos ? 0 : pos + n;
  SetPosition(target);
}

void TkvExtMemStream::WriteByte(uint8_t b) {
  WriteBuffer(&b, 1);
}

void TkvExtMemStream::WriteBytes(const std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

void TkvExtMemStream::WriteChars(const std::string& s) {
  WriteString(s);
}

void TkvExtMemStream::WriteWordBE(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  WriteBuffer(b, 2);
}

void TkvExtMemStream::WriteLongBE(uint32_t v) {
  uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                  static_cast<uint8_t>(v)};
  WriteBuffer(b, 4);
}

void TkvExtMemStream::PadToLong() {
  Seek(0, rtl::soEnd);
  int64_t r = Size() % 4;
  if (r != 0) {
    const uint8_t zeros[4] = {0, 0, 0, 0};
    WriteBuffer(zeros, 4 - r);
    LastPadCount = 4 - r;
  } else {
    LastPadCount = 0;
  }
}

// ---- TkvReadOnlyFilter ------------------------------------------------------

TkvReadOnlyFilter::TkvReadOnlyFilter(rtl::TStream* source) : source_(source) {
  if (!source_) throw EInvalidStream(SInvalidStream);
  SourceSize = source_->Size();
  pos_ = source_->Position();
  if (auto* mem = dynamic_cast<rtl::TMemoryStream*>(source_)) {
    direct_ = true;
    window_ = mem->Memory();
    winLen_ = SourceSize;
  } else {
    sourcePos_ = pos_;
    if (auto* file = dynamic_cast<rtl::TFileStream*>(source_)) fd_ = file->Handle();
  }
}

int64_t TkvReadOnlyFilter::ReadFromSource(int64_t offset, void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  if (fd_ >= 0) {
    // A file is read where the window goes in one call, not a seek and a read.
    int64_t got = 0;
    while (got < count) {
      const ssize_t r =
          ::pread(fd_, out + got, static_cast<size_t>(count - got), static_cast<off_t>(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += r;
    }
    return got;
  }
  if (sourcePos_ != offset) {
    sourcePos_ = -1;
    if (source_->Seek(offset, rtl::soBeginning) != offset) return 0;
  }
  int64_t got = 0;
  while (got < count) {
    const int64_t r = source_->Read(out + got, count - got);
    if (r <= 0) break;
    got += r;
  }
  sourcePos_ = offset + got;
  return got;
}

bool TkvReadOnlyFilter::FillWindow() {
  if (direct_ || pos_ < 0 || pos_ >= SourceSize) return false;
  ++useClock_;
  Block* chosen = &blocks_[0];
  int64_t size = kMinWindow;
  // A little before the position too: the reader steps back over a few
  // bytes it has looked at. Where it reads on from a block, from that
  // block's end.
  int64_t start = pos_ - std::min<int64_t>(pos_, kStepBack);
  for (Block& b : blocks_) {
    if (b.Length > 0 && pos_ >= b.Start && pos_ - b.Start < b.Length) {
      chosen = &b;
      size = 0;
      break;
    }
    // Reading on from the end of a block, or a little beyond it: the reader
    // goes through a run of objects.
    const int64_t end = b.Start + b.Length;
    if (b.Length > 0 && b.Length == b.Asked && pos_ >= end && pos_ - end < b.Asked) {
      size = std::max(size, std::min(kWindowSize, 2 * b.Asked));
      start = std::max(start, end);
    }
    if (b.LastUse < chosen->LastUse) chosen = &b;
  }
  if (size > 0) {
    if (!chosen->Bytes) chosen->Bytes.reset(new uint8_t[kWindowSize]);
    chosen->Start = start;
    chosen->Asked = std::min(size, SourceSize - start);
    chosen->Length = ReadFromSource(start, chosen->Bytes.get(), chosen->Asked);
  }
  chosen->LastUse = useClock_;
  winStart_ = chosen->Start;
  winLen_ = chosen->Length;
  window_ = chosen->Bytes.get();
  return pos_ - winStart_ < winLen_;
}

int64_t TkvReadOnlyFilter::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ < 0 || pos_ >= SourceSize) return 0;
  const int64_t n = std::min(count, SourceSize - pos_);
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  // What the window holds first, then the rest: a large remainder straight
  // from the source, a small one through the blocks that hold it.
  const int64_t i = pos_ - winStart_;
  if (i >= 0 && i < winLen_) {
    done = std::min(n, winLen_ - i);
    std::memcpy(out, window_ + i, static_cast<size_t>(done));
    pos_ += done;
  }
  while (done < n && !direct_) {
    if (n - done >= kWindowSize / 4) {
      const int64_t r = ReadFromSource(pos_, out + done, n - done);
      pos_ += r;
      done += r;
      break;
    }
    if (!FillWindow()) break;
    const int64_t at = pos_ - winStart_;
    const int64_t more = std::min(n - done, winLen_ - at);
    std::memcpy(out + done, window_ + at, static_cast<size_t>(more));
    pos_ += more;
    done += more;
  }
  return done;
}

int64_t TkvReadOnlyFilter::Write(const void*, int64_t) {
  throw EReadError(SFilterCannotRead);
}

int64_t TkvReadOnlyFilter::Seek(int64_t offset, rtl::TSeekOrigin origin) {
  const int64_t base = origin == rtl::soBeginning ? 0 : origin == rtl::soCurrent ? pos_ : SourceSize;
  // As the memory stream does: before the start clamps to 0, past the end
  // is allowed (reads there give nothing). Saturating, so no offset overflows.
  if (offset < 0 && base + offset < 0)
    pos_ = 0;
  else if (offset > 0 && base > INT64_MAX - offset)
    pos_ = INT64_MAX;
  else
    pos_ = base + offset;
  return pos_;
}

int TkvReadOnlyFilter::ReadCharOutsideWindow() {
  if (!FillWindow()) return kEndOfData;
  return window_[pos_++ - winStart_];
}

int TkvReadOnlyFilter::PeekCharOutsideWindow() {
  if (!FillWindow()) return kEndOfData;
  return window_[pos_ - winStart_];
}

void TkvReadOnlyFilter::ScanRun(const bool* stop, std::string* out) {
  for (;;) {
    int64_t i = pos_ - winStart_;
    if (i < 0 || i >= winLen_) {
      if (!FillWindow()) return;
      i = pos_ - winStart_;
    }
    const uint8_t* from = window_ + i;
    const uint8_t* end = window_ + winLen_;
    const uint8_t* at = from;
    while (at < end && !stop[*at]) ++at;
    if (out) out->append(reinterpret_cast<const char*>(from), static_cast<size_t>(at - from));
    pos_ += at - from;
    if (at < end) return;
  }
}

int64_t TkvReadOnlyFilter::ReadString(int64_t n, std::string& s) {
  if (n <= 0) {
    s.clear();
    return 0;
  }
  // Held whole by the window: one copy.
  if (const int64_t i = pos_ - winStart_; i >= 0 && i < winLen_ && n <= winLen_ - i) {
    s.assign(reinterpret_cast<const char*>(window_ + i), static_cast<size_t>(n));
    pos_ += n;
    return n;
  }
  // Only what is left is read; the rest of the string stays zero bytes.
  int64_t left = std::max<int64_t>(0, SourceSize - Position());
  s.assign(static_cast<size_t>(n), '\0');
  int64_t want = std::min(n, std::max<int64_t>(left, 0));
  int64_t got = 0;
  while (got < want) {
    int64_t r = Read(s.data() + got, want - got);
    if (r <= 0) break;
    got += r;
  }
  return got;
}

int64_t TkvReadOnlyFilter::PeekString(int64_t n, std::string& s) {
  int64_t got = ReadString(n, s);
  if (got > 0) Seek(-got, rtl::soCurrent);
  return got;
}

void TkvReadOnlyFilter::SkipBytes(int64_t n) {
  Seek(n, rtl::soCurrent);
}

void TkvReadOnlyFilter::StepBack() {
  Seek(-1, rtl::soCurrent);
}

// ---- TkvWriteOnlyFilter -----------------------------------------------------

TkvWriteOnlyFilter::TkvWriteOnlyFilter(rtl::TStream* destination) : destination_(destination) {
  if (!destination_) throw EInvalidStream(SInvalidStream);
}

int64_t TkvWriteOnlyFilter::Read(void*, int64_t) {
  throw EReadError(SFilterCannotRead);
}

int64_t TkvWriteOnlyFilter::Write(const void* buffer, int64_t count) {
  return destination_->Write(buffer, count);
}

int64_t TkvWriteOnlyFilter::Seek(int64_t offset, rtl::TSeekOrigin origin) {
  return destination_->Seek(offset, origin);
}

// ---- TkvObjectList ----------------------------------------------------------

void TkvObjectList::Grow() {
  int delta = capacity_ > 64 ? capacity_ / 4 : capacity_ > 8 ? 16 : 4;
  capacity_ += delta;
  items_.reserve(static_cast<size_t>(capacity_));
}

void TkvObjectList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
}

int TkvObjectList::Add(int64_t id, TkvObject* obj) {
  int index = Count();
  Insert(index, id, obj);
  return index;
}

void TkvObjectList::Insert(int index, int64_t id, TkvObject* obj) {
  if (id < 0) throw EInvalidID(rtl::Format(SInvalidUniqueID, {id}));
  if (index < 0 || index > Count()) throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
  if (Count() == capacity_) Grow();
  items_.insert(items_.begin() + index, TkvObjectPair{id, obj});
}

TkvObject* TkvObjectList::Objects(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].Object;
}

void TkvObjectList::GetItem(int index, TkvObjectPair& pair) const {
  CheckIndex(index);
  pair = items_[static_cast<size_t>(index)];
}

int TkvObjectList::IndexOf(int64_t id) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].ID == id) return static_cast<int>(i);
  return -1;
}

void TkvObjectList::Clear() {
  items_.clear();
  items_.shrink_to_fit();
  capacity_ = 0;
}

void TkvObjectList::Merge(TkvObjectList& other) {
  if (&other == this) return;
  capacity_ = std::max(capacity_, Count() + other.Count());
  items_.reserve(static_cast<size_t>(capacity_));
  // One object may sit under two pairs of other; free it once only, and
  // never free an object that this list already holds.
  std::unordered_set<TkvObject*> freed;
  std::unordered_set<TkvObject*> kept;
  for (const auto& p : items_) kept.insert(p.Object);
  for (const auto& p : other.items_) {
    if (IndexOf(p.ID) == -1 && p.ID >= 0) {
      items_.push_back(p);
      kept.insert(p.Object);
    }
  }
  for (const auto& p : other.items_) {
    if (!kept.count(p.Object) && freed.insert(p.Object).second) delete p.Object;
  }
  other.Clear();
}

}  // namespace pdf
