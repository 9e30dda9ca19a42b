// Autodesk animator cel and pic files: an 8-bit palette image with a
// 256-entry palette of 6-bit components, stored uncompressed.
//
// The stream is borrowed for the length of one load.
#pragma once

#include "imaging/ImageFormats.h"

namespace imaging {

class TAutodeskGraphic : public TRasterGraphic {
 public:
  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True for the file's magic word with 8 bits per pixel; the stream is
  // left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the header at the stream's position; true for the magic word.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  // A file shorter than its header, palette and pixels raises the stream
  // read error before any pixel memory is allocated.
  void LoadFromStream(rtl::TStream& stream) override;
};

}  // namespace imaging
