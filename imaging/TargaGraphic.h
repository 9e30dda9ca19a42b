// Truevision Targa files: colour-mapped, true-colour and grey images,
// uncompressed or run-length coded, read into 8-, 15-, 24- and 32-bit
// bitmaps; and the one writer of the library, which saves a bitmap as a
// run-length coded (or plain) Targa file.
//
// Rows are copied as the file stores them: Targa keeps blue, green, red
// (alpha), which is the bitmap's own order. Run-length packets may run
// across rows, so a coded image is decoded as a whole before its rows are
// placed. The stream is borrowed for the length of one load or save.
#pragma once

#include <cstdint>

#include "imaging/ImageFormats.h"

namespace imaging {

class TTargaGraphic : public TRasterGraphic {
 public:
  // Entries a palette can take from a colour map; longer maps are read past.
  static constexpr uint32_t kMaxPaletteEntries = 256;

  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // True when more than 18 bytes remain and the header's image type, colour
  // map type, colour map entry size and pixel depth are all ones this
  // reader knows; the stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the 18-byte header at the stream's position; always true.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  void LoadFromStream(rtl::TStream& stream) override;
  // A run-length coded file. The bitmap itself is left as it is: 1- and
  // 4-bit images are written from an 8-bit copy.
  void SaveToStream(rtl::TStream& stream) const override;
  void WriteTarga(rtl::TStream& stream, bool compressed) const;
};

}  // namespace imaging
