// Paintbrush images and screen captures of the same layout: 1-, 2-, 4- and
// 8-bit palette images in one plane, 16-colour images in four bit planes and
// 24-bit images in three byte planes, uncompressed or run-length coded.
//
// Run-length coding may run across rows and planes, so the rows are decoded
// as one block before they are placed; coded data that ends early leaves the
// rest of the image black. An 8-bit image takes its palette from the
// 769-byte block at the end of the file when there is one. The stream is
// borrowed for the length of one load.
#pragma once

#include <cstdint>

#include "imaging/ImageFormats.h"

namespace imaging {

class TPCXGraphic : public TRasterGraphic {
 public:
  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True when more than 128 bytes remain and the header has a known
  // identifier, version and encoding; the stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the 128-byte header; false unless the identifier is known.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  void LoadFromStream(rtl::TStream& stream) override;
};

}  // namespace imaging
