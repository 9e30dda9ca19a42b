// Further decoders of the image library: deflate (TIFF, PNG, Paintshop
// Pro) over zlib, JPEG-in-TIFF strips over libjpeg, ThunderScan 4-bit data,
// and the Photo-CD residual planes. The contract of ImageCodecs.h holds;
// what differs is said at each class.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "imaging/ImageCodecs.h"
#include "platform/rtl/Classes.h"

struct z_stream_s;

namespace imaging {

struct TImageProperties;

// Inflates zlib data. StartDecoding must come first (EImageCodecError
// SLZ77Error otherwise, and when zlib cannot start). With resetPerBlock each
// DecodeBlock is a stream of its own (TIFF strips); without, the stream goes
// on across calls, so data may come in any number of pieces (PNG chunks).
// A call never writes more than the destination, however far the data
// would expand. Errors of the data are not raised: the result's status says
// dsDamaged (ZLibResult holds zlib's code), and after an error or the end of
// the stream further calls decode nothing until a reset.
class TLZ77Decoder : public TDecoder {
 public:
  // Deflate's densest code: 258 bytes a length code of at least two bits.
  static constexpr uint64_t kMaxExpansion = 1032;
  // flushMode: the zlib flush value passed to inflate (1 partial, 4 finish).
  TLZ77Decoder(int flushMode, bool resetPerBlock);
  ~TLZ77Decoder() override;

  void StartDecoding() override;
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
  void FinishDecoding() override;

  int ZLibResult() const { return result_; }
  // The compressed stream has ended: further data cannot belong to it.
  bool StreamEnded() const;
  // What the last call left of its source and of its destination.
  size_t AvailableInput() const { return availableInput_; }
  size_t AvailableOutput() const { return availableOutput_; }

 private:
  std::unique_ptr<z_stream_s> stream_;
  bool started_ = false;
  int result_ = 0;
  int flushMode_;
  bool resetPerBlock_;
  size_t availableInput_ = 0;
  size_t availableOutput_ = 0;
};

// JPEG-compressed TIFF strips. The properties record is the TIFF reader's
// and is borrowed: it must outlive the decoder, and the reader keeps
// RowIndex, StripIndex and StripCount current for each strip. StartDecoding
// reads the shared JPEGTables; each DecodeBlock decodes one strip into
// consecutive rows of RowBytes bytes, or with separate planes of one
// sample's bytes per pixel (the destination a whole number of rows). Strips that do not fit the record raise
// EImageCodecError with the SImproperJPEG... messages, libjpeg's fatal errors as SJPEGError. Data cut short
// is decoded as far as it goes: OnWarning receives SJPEGUnexpectedEnd (the reader shows it with caption
// SWarning), at most kMaxWarnings times per strip.
class TTIFFJPEGDecoder : public TDecoder {
 public:
  static constexpr int kMaxWarnings = 50;

  explicit TTIFFJPEGDecoder(const TImageProperties& properties);
  ~TTIFFJPEGDecoder() override;

  void StartDecoding() override;
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
  void FinishDecoding() override;

  std::function<void(const std::string& message)> OnWarning;

  struct TState;

 private:
  void DeliverWarnings();

  const TImageProperties& properties_;
  std::unique_ptr<TState> state_;
};

// ThunderScan 4-bit data (TIFF 32809): rows of (width + 1) / 2 bytes, two
// pixels a byte, the first in the high nibble; each row starts on a new byte
// and stops at the row's width, whatever a code asks for.
class TThunderDecoder : public TDecoder {
 public:
  // A byte repeats the last pixel up to 63 times: 32 bytes of two pixels.
  static constexpr uint64_t kMaxExpansion = 32;
  explicit TThunderDecoder(int32_t width) : width_(width) {}
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;

 private:
  int32_t width_;
};

// Photo-CD residuals: Huffman-coded corrections that DecodePlanes adds to
// the upsampled planes in place. The stream is borrowed and read from its
// position in 2048-byte pieces; its end ends decoding (the planes keep the
// corrections made so far). No correction is written outside a plane's
// row; a row number beyond the height ends decoding; a residual of the
// reserved plane raises EImageCodecError SPCDDataError. Up to 1536 wide
// the data corrects luma only, and chroma rows there are skipped. DecodeBlock
// decodes nothing: the residuals do not come from a buffer.
class TPCDDecoder : public TDecoder {
 public:
  static constexpr size_t kBufferSize = 2048;

  explicit TPCDDecoder(rtl::TStream& stream) : stream_(stream) {}
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
  // luma holds height rows of width samples; each chroma plane height / 2
  // rows of width samples (the stride of the upsampled planes).
  void DecodePlanes(std::span<uint8_t> luma, std::span<uint8_t> chroma1, std::span<uint8_t> chroma2,
                    uint32_t width, uint32_t height);

 private:
  rtl::TStream& stream_;
};

}  // namespace imaging
