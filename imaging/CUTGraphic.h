// Dr. Halo cut files: 8-bit palette images whose rows are run-length coded,
// with the palette in a separate file of the same name ending in ".pal".
//
// Loaded from a file, the palette file beside it is read when it exists;
// loaded from a stream alone, or without a palette file, the image gets a
// grey ramp. The stream is borrowed for the length of one load.
#pragma once

#include <string>

#include "imaging/ImageFormats.h"

namespace imaging {

class TCUTGraphic : public TRasterGraphic {
 public:
  // A palette file holds at most this many entries: indices are bytes.
  static constexpr uint32_t kMaxPaletteEntries = 256;

  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // Cut files carry no signature: never claimed by content.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads width and height at the stream's position.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  // Remembers the palette file's name for the length of this load.
  void LoadFromFile(const std::string& fileName) override;
  // Rows that run out of data raise the stream read error; so does a palette
  // file shorter than its entries. More than kMaxPaletteEntries entries raise
  // the invalid-palette error.
  void LoadFromStream(rtl::TStream& stream) override;

 private:
  graphics::HPALETTE LoadPalette() const;

  std::string paletteFileName_;
};

}  // namespace imaging
