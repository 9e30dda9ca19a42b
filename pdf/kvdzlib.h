// Stream classes over zlib: a compressing stream that deflates everything
// written to it into a destination stream, and a decompressing stream that
// inflates a source stream while it is read.
//
// Neither class owns the other stream; both hold a reference to it, which
// must outlive them. The compressing stream's output is complete only after
// Finish() (the destructor finishes too, but swallows errors, since a
// destructor must not throw: call Finish() where a failure matters).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

namespace pdf {

enum TkvCompressionLevel { lvNone, lvFastest, lvDefault, lvMax };

// The zlib level of a TkvCompressionLevel (0, 1, zlib's default, 9).
int ZlibLevel(TkvCompressionLevel level);

class EZlibError : public rtl::Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EZlibError"; }
};
RTL_DECLARE_EXCEPTION(ECompressionError, EZlibError);
RTL_DECLARE_EXCEPTION(EDecompressionError, EZlibError);

inline constexpr const char* SZlibError = "error";
inline constexpr const char* SInvalidStreamOperation = "Invalid stream operation";

class TCustomZlibStream : public rtl::TStream {
 public:
  // Buffer between zlib and the other stream.
  static constexpr int kBufferSize = 8192;

  TCustomZlibStream(const TCustomZlibStream&) = delete;
  TCustomZlibStream& operator=(const TCustomZlibStream&) = delete;

  // Called each time a buffer has gone to (or come from) the other stream.
  std::function<void(TCustomZlibStream* sender)> OnProgress;

 protected:
  explicit TCustomZlibStream(rtl::TStream& strm);
  virtual void Progress();

  rtl::TStream& FStrm;  // borrowed
  int64_t FStrmPos;     // the other stream's position as last used
  z_stream FZRec{};
  uint8_t FBuffer[kBufferSize];
};

class TCompressionStream : public TCustomZlibStream {
 public:
  TCompressionStream(TkvCompressionLevel compressionLevel, rtl::TStream& dest);
  ~TCompressionStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // Only Seek(0, soCurrent) is allowed: it returns the bytes written so far.
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override;

  // Ends the zlib data and writes what is left to the destination. Further
  // writes raise; a second call does nothing.
  void Finish();

 private:
  void FlushBuffer(int64_t count);
  bool finished_ = false;
};

class TDecompressionStream : public TCustomZlibStream {
 public:
  explicit TDecompressionStream(rtl::TStream& source);
  ~TDecompressionStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // Seek(0, soBeginning) restarts at the source position the stream was
  // made at; forward seeks skip decoded bytes; anything else raises.
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override;

 private:
  int64_t startPos_;  // the source's position at construction
};

}  // namespace pdf
