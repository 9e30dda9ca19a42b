// Portable bitmaps, grey maps and pixel maps (P1 to P6, plain and raw) into
// 1-bit, 8-bit and 24-bit bitmaps: the page images that the page-extraction
// tool writes.
//
// Samples are scaled from the file's maximum value to 8 bits (two-byte
// samples when the maximum exceeds 255). Input is read through a buffer of
// the object's own; the stream is borrowed for the length of one load.
#pragma once

#include <array>
#include <cstdint>

#include "imaging/ImageFormats.h"

namespace imaging {

class TPPMGraphic : public TRasterGraphic {
 public:
  // Largest maximum sample value of the format (two-byte samples).
  static constexpr uint32_t kMaxSampleValue = 65535;

  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True when more than 10 bytes remain and they begin "P1" to "P6"; the
  // stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Parses the header at the stream's position; true for P1 to P6 with a
  // sound maximum value. The other magic digits are not loadable.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  void LoadFromStream(rtl::TStream& stream) override;

  // The maximum sample value of the last header read (1 for bitmaps).
  uint32_t MaxSampleValue() const { return maxValue_; }

 private:
  static constexpr int kBufferSize = 4096;

  bool ParseHeader(rtl::TStream& stream);
  uint8_t NextByte();
  bool AtEnd();
  void SkipComment();
  uint32_t ReadNumber();
  int ReadBit();
  // Copies n raster bytes, from the buffer first, then from the stream.
  void ReadRaw(uint8_t* dest, size_t n);
  uint64_t BytesLeft();

  void LoadPlainBitmap();
  void LoadPlainSamples(int samplesPerPixel);
  void LoadRawBitmap();
  void LoadRawSamples(int samplesPerPixel);

  std::array<uint8_t, kBufferSize> buffer_{};
  int bufferIndex_ = kBufferSize;  // next unread byte; bufferEnd_ means used up
  int bufferEnd_ = kBufferSize;
  int magic_ = 0;
  uint32_t maxValue_ = 0;
};

}  // namespace imaging
