// Photoshop documents: the merged image that follows the layers, in bitmap,
// grey, duotone, indexed, RGB(A), multichannel, CMYK and Lab modes, of 1,
// 8 or 16 bits per channel, raw or PackBits-coded. Layers are skipped.
//
// Rows are read channel by channel straight from the stream, so a document
// with many extra channels costs no more memory than its bitmap. The stream
// is borrowed for the length of one load.
#pragma once

#include <cstdint>

#include "imaging/ImageFormats.h"

namespace imaging {

class TPSDGraphic : public TRasterGraphic {
 public:
  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True for the signature (in any case) and version 1; the stream is left
  // where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the header at the stream's position and skips the sections up to
  // the image data; true for the exact signature and version 1. Section
  // lengths beyond the stream raise the stream read error.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  // Raises for a refused header, for a colour mode, depth or channel count
  // without a converter, for compressions other than raw and PackBits, and
  // for image data shorter than the image.
  void LoadFromStream(rtl::TStream& stream) override;

 private:
  uint32_t channels_ = 0;     // as stored; ChannelCount keeps its low byte
  uint16_t mode_ = 0;         // the file's colour mode
  int64_t colourDataAt_ = 0;  // from the image's start
  uint32_t colourDataSize_ = 0;
  int64_t imageDataAt_ = 0;  // after the compression field
};

}  // namespace imaging
