// The decoders through which the format readers unpack compressed pixel
// data, and the run-length schemes among them (with the Targa encoder).
// The CCITT decoders are in ImageCodecsCCITT.h; deflate, JPEG-in-TIFF,
// ThunderScan and Photo-CD in ImageCodecsMisc.h.
//
// How a reader uses a decoder:
//   auto d = std::make_unique<TPackbitsRLEDecoder>();   // one per image
//   d->StartDecoding();                                  // always; most do nothing
//   TDecodeResult r = d->DecodeBlock(strip, row);        // per row, strip or plane
//   d->FinishDecoding();
//
// Ownership and buffers: the reader owns both buffers and keeps them alive
// for the call; a decoder holds no pointer into them afterwards and never
// allocates per call. The source span is exactly the packed bytes the reader
// has (a strip's byte count, what is left of the file); the destination span
// is exactly the unpacked bytes the reader computed (a row, a strip, a plane).
// DecodeBlock stops at whichever end comes first, source or destination:
// every count read from the data is checked against both, so no input makes
// a decoder read or write outside its spans. It reports what it consumed and
// what it produced; bytes of the destination it did not reach keep what they
// held (the CCITT decoders clear the whole destination first: white).
// Damaged data gives wrong pixels or a short result, never an error, except
// where a decoder's comment says it raises EImageCodecError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/rtl/SysUtils.h"

namespace imaging {

using Exception = rtl::Exception;
RTL_DECLARE_EXCEPTION(EImageCodecError, Exception);

// Raises EImageCodecError with the message.
[[noreturn]] void CodecError(const char* message);

// How a DecodeBlock call ended: with the destination full, with the source
// used up first (the data ends early, or goes on in the next piece), or at
// an error in the data (what was produced before it stands).
enum TDecodeStatus : uint8_t { dsComplete, dsEndOfData, dsDamaged };

// What one DecodeBlock call did. consumed: source bytes used, counted from
// the span's start (a reader that walks a file packet by packet goes on at
// source + consumed). produced: destination bytes written from the span's
// start. A reader judges the call by status alone.
struct TDecodeResult {
  size_t consumed = 0;
  size_t produced = 0;
  TDecodeStatus status = dsEndOfData;
};

class TDecoder {
 public:
  TDecoder() = default;
  virtual ~TDecoder() = default;
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;

  // Unpacks from source into dest; see the unit comment for the contract.
  virtual TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) = 0;
  // Called once before the first and after the last DecodeBlock of an image.
  virtual void StartDecoding() {}
  virtual void FinishDecoding() {}
  // Packs count pixels of source into dest and returns the packed size in
  // bytes. Only the Targa decoder encodes; the others pack nothing.
  virtual size_t EncodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest, size_t count);
};

// Targa packets of whole pixels. The destination's size in whole pixels is
// the pixel count; a packet may run across rows (the readers pass the whole
// image in one call) and is cut at the destination's end. consumed is where
// the next packet would begin.
class TTargaRLEDecoder : public TDecoder {
 public:
  // depth: 8, 15, 16, 24 or 32 bits; any other depth decodes nothing.
  explicit TTargaRLEDecoder(uint32_t depth) : depth_(depth) {}

  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
  // Packs count pixels of source (count × PixelSize bytes) as Targa
  // packets. dest must hold MaxEncodedSize(count) bytes, or at least what
  // the packing needs: EImageCodecError when it does not or when source
  // holds fewer than count pixels.
  size_t EncodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest, size_t count) override;

  // Bytes per pixel: 1, 2, 2, 3, 4 for the valid depths, 0 otherwise.
  size_t PixelSize() const;
  // The packed size in the worst case (a header for every pixel).
  size_t MaxEncodedSize(size_t count) const;

 private:
  uint32_t depth_;
};

// PackBits (TIFF 32773, PSD rows).
class TPackbitsRLEDecoder : public TDecoder {
 public:
  // A run of 128 bytes takes two: no data expands further.
  static constexpr uint64_t kMaxExpansion = 64;
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
};

// PCX lines.
class TPCXRLEDecoder : public TDecoder {
 public:
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
};

// SGI rows of 8- or 16-bit samples; a row ends at its end marker. 16-bit
// samples keep the file's byte order.
class TSGIRLEDecoder : public TDecoder {
 public:
  // bitsPerSample: 8 or 16 (anything but 16 is taken as 8).
  explicit TSGIRLEDecoder(uint8_t bitsPerSample) : bitsPerSample_(bitsPerSample) {}
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;

 private:
  uint8_t bitsPerSample_;
};

// Dr. Halo CUT lines: a 2-byte byte count, packets, a terminating zero.
// consumed is just after the terminating zero: the next line begins there.
class TCUTRLEDecoder : public TDecoder {
 public:
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
};

// Paintshop Pro channel blocks.
class TPSPRLEDecoder : public TDecoder {
 public:
  // A run of 127 bytes takes two.
  static constexpr uint64_t kMaxExpansion = 64;
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
};

// Alias/Wavefront RLA channels.
class TRLADecoder : public TDecoder {
 public:
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
};

}  // namespace imaging
