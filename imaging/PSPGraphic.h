// Paint Shop Pro images of file version 3 and later: the general
// attributes, the palette and the first raster layer, whose channels are
// stored raw, run-length coded or deflated. 1-, 4- and 8-bit indexed or
// grey images and 24-bit colour images.
//
// Each channel is unpacked into a plane of its own for the length of one
// load; the stream is borrowed for that length.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "imaging/ImageFormats.h"

namespace imaging {

class TPSPGraphic : public TRasterGraphic {
 public:
  // Channel rows may carry padding of up to this many bytes beyond the
  // packed row; a longer row does not belong to the image.
  static constexpr uint32_t kMaxRowPadding = 4;
  static constexpr uint32_t kMaxPaletteEntries = 256;

  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True for the signature (in any case) and a major version of 3 or
  // more; the stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the file header and the general attributes; the stream is left
  // after the attributes block.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  // Raises for a refused header, an unknown depth or compression, a file
  // without a raster layer and channels shorter than the image.
  void LoadFromStream(rtl::TStream& stream) override;

 private:
  struct TBlockHeader {
    uint16_t id = 0;
    uint64_t end = 0;  // stream position after the block's contents
  };
  // False when no block header starts at the position.
  bool ReadBlockHeader(TBlockHeader& header);
  uint32_t ReadUInt32();
  uint16_t ReadUInt16();
  void ReadPalette();
  // True when the layer was loaded; false when it was skipped.
  bool LoadLayer(const TBlockHeader& layer);
  void ReadChannel();
  // How far the file's compression can expand its bytes.
  uint64_t MaxExpansion() const;

  uint16_t major_ = 0;
  uint64_t attributesEnd_ = 0;
  uint64_t packedRow_ = 0;  // bytes of a row without padding
  // Composite, red, green, blue.
  std::array<std::vector<uint8_t>, 4> planes_;
  std::array<uint64_t, 4> strides_{};
};

}  // namespace imaging
