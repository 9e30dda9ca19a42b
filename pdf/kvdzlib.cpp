#include "pdf/kvdzlib.h"

#include <algorithm>
#include <cstdlib>

namespace pdf {

namespace {

voidpf ZAlloc(voidpf, uInt items, uInt size) {
  return std::calloc(items, size);
}
void ZFree(voidpf, voidpf address) {
  std::free(address);
}

}  // namespace

int ZlibLevel(TkvCompressionLevel level) {
  switch (level) {
    case lvNone:
      return 0;
    case lvFastest:
      return 1;
    case lvDefault:
      return Z_DEFAULT_COMPRESSION;
    case lvMax:
      return 9;
  }
  return Z_DEFAULT_COMPRESSION;
}

// ---- TCustomZlibStream ----------------------------------------------------

TCustomZlibStream::TCustomZlibStream(rtl::TStream& strm) : FStrm(strm), FStrmPos(strm.Position()) {
  FZRec.zalloc = ZAlloc;
  FZRec.zfree = ZFree;
  FZRec.opaque = nullptr;
}

void TCustomZlibStream::Progress() {
  if (OnProgress) OnProgress(this);
}

// ---- TCompressionStream ---------------------------------------------------

TCompressionStream::TCompressionStream(TkvCompressionLevel compressionLevel, rtl::TStream& dest)
    : TCustomZlibStream(dest) {
  FZRec.next_out = FBuffer;
  FZRec.avail_out = kBufferSize;
  if (deflateInit(&FZRec, ZlibLevel(compressionLevel)) != Z_OK) throw ECompressionError(SZlibError);
}

TCompressionStream::~TCompressionStream() {
  try {
    Finish();
  } catch (...) {
    // A destructor must not throw; callers who care call Finish() first.
  }
  deflateEnd(&FZRec);
}

void TCompressionStream::FlushBuffer(int64_t count) {
  if (count > 0) FStrm.WriteBuffer(FBuffer, count);
  FZRec.next_out = FBuffer;
  FZRec.avail_out = kBufferSize;
  FStrmPos = FStrm.Position();
}

int64_t TCompressionStream::Read(void*, int64_t) {
  throw ECompressionError(SInvalidStreamOperation);
}

int64_t TCompressionStream::Write(const void* buffer, int64_t count) {
  if (finished_) throw ECompressionError(SInvalidStreamOperation);
  if (count <= 0) return 0;
  if (FStrm.Position() != FStrmPos) FStrm.SetPosition(FStrmPos);
  const auto* p = static_cast<const uint8_t*>(buffer);
  int64_t left = count;
  // zlib counts in 32 bits: hand huge buffers over in pieces.
  while (left > 0) {
    uInt piece = static_cast<uInt>(std::min<int64_t>(left, 1 << 30));
    FZRec.next_in = const_cast<Bytef*>(p);
    FZRec.avail_in = piece;
    while (FZRec.avail_in > 0) {
      int rc = deflate(&FZRec, Z_NO_FLUSH);
      if (rc != Z_OK) throw ECompressionError(SZlibError);
      if (FZRec.avail_out == 0) {
        FlushBuffer(kBufferSize);
        Progress();
      }
    }
    p += piece;
    left -= piece;
  }
  return count;
}

void TCompressionStream::Finish() {
  if (finished_) return;
  finished_ = true;
  FZRec.next_in = nullptr;
  FZRec.avail_in = 0;
  if (FStrm.Position() != FStrmPos) FStrm.SetPosition(FStrmPos);
  for (;;) {
    int rc = deflate(&FZRec, Z_FINISH);
    if (rc != Z_OK && rc != Z_STREAM_END) throw ECompressionError(SZlibError);
    if (rc == Z_STREAM_END) break;
    if (FZRec.avail_out == 0) {
      FlushBuffer(kBufferSize);
      Progress();
    }
  }
  int64_t used = kBufferSize - static_cast<int64_t>(FZRec.avail_out);
  if (used > 0) {
    FlushBuffer(used);
    Progress();
  }
}

int64_t TCompressionStream::Seek(int64_t offset, rtl::TSeekOrigin origin) {
  if (offset == 0 && origin == rtl::soCurrent) return static_cast<int64_t>(FZRec.total_in);
  throw ECompressionError(SInvalidStreamOperation);
}

// ---- TDecompressionStream -------------------------------------------------

TDecompressionStream::TDecompressionStream(rtl::TStream& source)
    : TCustomZlibStream(source), startPos_(FStrmPos) {
  FZRec.next_in = FBuffer;
  FZRec.avail_in = 0;
  if (inflateInit(&FZRec) != Z_OK) throw EDecompressionError(SZlibError);
}

TDecompressionStream::~TDecompressionStream() {
  inflateEnd(&FZRec);
}

int64_t TDecompressionStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t delivered = 0;
  if (FStrm.Position() != FStrmPos) FStrm.SetPosition(FStrmPos);
  while (delivered < count) {
    uInt space = static_cast<uInt>(std::min<int64_t>(count - delivered, 1 << 30));
    FZRec.next_out = out + delivered;
    FZRec.avail_out = space;
    if (FZRec.avail_in == 0) {
      int64_t n = FStrm.Read(FBuffer, kBufferSize);
      if (n <= 0) return delivered;
      FZRec.next_in = FBuffer;
      FZRec.avail_in = static_cast<uInt>(n);
      FStrmPos = FStrm.Position();
      Progress();
    }
    int rc = inflate(&FZRec, Z_NO_FLUSH);
    delivered += space - FZRec.avail_out;
    if (rc == Z_STREAM_END) return delivered;
    // Anything but progress is an error: a preset-dictionary request (a
    // positive result) would otherwise repeat forever.
    if (rc != Z_OK) throw ECompressionError(SZlibError);
  }
  return delivered;
}

int64_t TDecompressionStream::Write(const void*, int64_t) {
  throw EDecompressionError(SInvalidStreamOperation);
}

int64_t TDecompressionStream::Seek(int64_t offset, rtl::TSeekOrigin origin) {
  const auto total = static_cast<int64_t>(FZRec.total_out);
  if (offset == 0 && origin == rtl::soBeginning) {
    if (inflateReset(&FZRec) != Z_OK) throw EDecompressionError(SZlibError);
    FZRec.next_in = FBuffer;
    FZRec.avail_in = 0;
    FStrm.SetPosition(startPos_);
    FStrmPos = startPos_;
    return 0;
  }
  if ((offset >= 0 && origin == rtl::soCurrent) || (origin == rtl::soBeginning && offset > total)) {
    if (origin == rtl::soBeginning) offset -= total;
    uint8_t skip[4096];
    while (offset > 0) {
      int64_t n = std::min<int64_t>(offset, sizeof skip);
      ReadBuffer(skip, n);
      offset -= n;
    }
    return static_cast<int64_t>(FZRec.total_out);
  }
  throw EDecompressionError(SInvalidStreamOperation);
}

}  // namespace pdf
