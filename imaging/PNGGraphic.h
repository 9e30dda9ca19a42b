// Portable network graphics: every colour type and bit depth, plain and
// Adam7-interlaced, into 1-, 4-, 8-, 24- and 32-bit bitmaps. Every chunk
// that is read is checked against its CRC-32; the image data may be split
// over any number of IDAT chunks. 16-bit samples become 8 bits; grey with
// alpha loses its alpha; a gAMA chunk is applied for a 2.2 display.
//
// One chunk buffer serves all chunks and two row buffers alternate; the
// deflate decoder lives for one load. The stream is borrowed for the length
// of one load.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "imaging/ImageFormats.h"

namespace imaging {

class TLZ77Decoder;

class TPNGGraphic : public TRasterGraphic {
 public:
  // The format's own limit on a chunk's length.
  static constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;

  TPNGGraphic();
  ~TPNGGraphic() override;

  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True when more than 8 bytes remain and they are the signature; the
  // stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the signature and IHDR at the stream's position, then walks the
  // chunks up to gAMA or IEND for the gamma. False for a missing or
  // misplaced IHDR, one of the wrong length, or a zero size.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  void LoadFromStream(rtl::TStream& stream) override;

 private:
  void ReadChunkHeader();
  // Reads the current chunk's data and CRC into the chunk buffer and checks
  // the CRC.
  void ReadChunkData();
  void SkipChunkData();
  bool ChunkIs(const char* type) const;
  void ColourSetUp();
  void LoadImageData();
  // Fills row with decompressed bytes from the IDAT chunks.
  void ReadDecoded(std::span<uint8_t> row);
  void ReadBackground();
  void ReadTransparency();
  uint32_t ScaledSample(uint16_t value) const;

  std::unique_ptr<TLZ77Decoder> decoder_;
  std::vector<uint8_t> chunk_;  // data of the last chunk read
  size_t chunkSize_ = 0;        // of the data held in chunk_
  size_t source_ = 0;           // next compressed byte in chunk_
  uint32_t chunkLength_ = 0;
  uint8_t chunkType_[4] = {};
  uint32_t crc_ = 0;
  uint32_t bytesPerPixel_ = 1;
  uint8_t colourType_ = 0;
  uint8_t depth_ = 0;
  bool colourSetUp_ = false;
  bool imageLoaded_ = false;
  graphics::TPixelFormat pixelFormat_ = graphics::pf24bit;
  graphics::HPALETTE palette_;
  graphics::TColor transparentColour_ = graphics::clNone;
  graphics::TColor backgroundColour_ = graphics::clWhite;
};

}  // namespace imaging
