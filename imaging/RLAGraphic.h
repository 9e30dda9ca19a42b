// Alias/Wavefront RLA images: red, green and blue channels and an optional
// matte channel of 8 bits each, every row run-length coded channel by
// channel and found through a table of row offsets. Read into 24-bit
// bitmaps, or 32-bit ones with the matte as alpha; the file's gamma is
// applied when it is not 1.0.
//
// The stream is borrowed for the length of one load.
#pragma once

#include "imaging/ImageFormats.h"

namespace imaging {

class TRLAGraphic : public TRasterGraphic {
 public:
  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True for the revision mark and the channel kind "rgb" or "xyz"; the
  // stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the header at the stream's position; false for an active window
  // without pixels and for "xyz" data, which has no converter.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  // Raises for a refused header, for channels other than three colours and
  // one matte of 8 bits, and for row offsets or channel data beyond the
  // stream.
  void LoadFromStream(rtl::TStream& stream) override;
};

}  // namespace imaging
