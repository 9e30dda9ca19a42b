// Encapsulated PostScript files with a binary header: the TIFF preview they
// carry, read by the TIFF reader from where the header says it begins. The
// PostScript itself is not interpreted.
#pragma once

#include "imaging/TIFFGraphic.h"

namespace imaging {

class TEPSGraphic : public TTIFFGraphic {
 public:
  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // The binary header's magic and a TIFF preview of non-zero length that
  // begins after the header and inside the stream; the stream is left where
  // it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Loads the preview; raises for a wrong magic or a preview outside the
  // stream, then as the TIFF reader does.
  void LoadFromStream(rtl::TStream& stream) override;
};

}  // namespace imaging
