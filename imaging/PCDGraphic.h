// Photo-CD image packs at their base resolution of 768 x 512 pixels: the
// stored luma plane and the half-size chroma planes, doubled, converted from
// Photo-YCC and turned upright by the pack's portrait rotation. The higher
// resolutions (Huffman-coded residuals) are not read.
//
// The three planes live for one load; the stream is borrowed for its
// length.
#pragma once

#include <cstdint>

#include "imaging/ImageFormats.h"

namespace imaging {

class TPCDGraphic : public TRasterGraphic {
 public:
  static constexpr uint32_t kSectorSize = 2048;
  // The header sectors ReadProperties needs.
  static constexpr uint32_t kHeaderSize = 3 * kSectorSize;
  // Where the base image starts, in sectors, in an image pack and in an
  // overview pack.
  static constexpr uint32_t kImageSector = 96;
  static constexpr uint32_t kOverviewSector = 5;
  static constexpr uint32_t kBaseWidth = 768;
  static constexpr uint32_t kBaseHeight = 512;

  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True when more than kHeaderSize bytes remain and they begin "PCD_OPA"
  // or carry "PCD" at byte 2048; the stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // imageIndex is the resolution (0 to 5: 192 x 128 times 2^index); an
  // overview pack reports the smallest. False for an unknown pack or a
  // stream shorter than the header.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  // Raises for an unknown pack and for a pack shorter than its base image.
  void LoadFromStream(rtl::TStream& stream) override;
};

}  // namespace imaging
