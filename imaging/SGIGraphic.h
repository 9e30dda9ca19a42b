// SGI images: grey, RGB and RGBA, uncompressed or run-length coded, with one
// or two bytes per sample, stored bottom row first and channel by channel.
// Grey images (and any channel count but 3 and 4, whose first channel is
// taken as grey) load as 8-bit bitmaps with a grey palette, RGB as 24-bit
// and RGBA as 32-bit; two-byte samples keep their high byte.
//
// A row that the file cannot fully supply loads as far as it goes and is
// black beyond. The stream is borrowed for the length of one load.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "imaging/ImageFormats.h"

namespace imaging {

class TSGIRLEDecoder;

class TSGIGraphic : public TRasterGraphic {
 public:
  TSGIGraphic();
  ~TSGIGraphic() override;

  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True when more than 512 bytes remain and the header has the magic
  // number, one or two bytes per sample and a dimension of 1 to 3; the
  // stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the 512-byte header; false unless it has the magic number.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  void LoadFromStream(rtl::TStream& stream) override;

 private:
  // Fills plane (zeroed first) with channel c of file row r.
  void ReadChannelRow(uint32_t c, uint32_t r, std::span<uint8_t> plane);

  std::vector<uint32_t> rowStarts_;  // run-length files: per channel row
  std::vector<uint32_t> rowLengths_;
  std::vector<uint8_t> codedRow_;
  std::unique_ptr<TSGIRLEDecoder> decoder_;  // run-length files, during a load
};

}  // namespace imaging
