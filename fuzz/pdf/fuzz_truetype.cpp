// The TrueType reader over arbitrary bytes: the directory, the character
// map, the widths, and a reduced file of the first glyphs the map names
// (composites followed). Each returns or raises ETrueTypeError; none may
// crash, hang or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "pdf/kvTrueType.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    pdf::TkvTrueTypeFile font(std::string(reinterpret_cast<const char*>(data), size));
    std::set<uint16_t> glyphs;
    for (const auto& p : font.ReadUnicodeCmap()) {
      glyphs.insert(p.Glyph);
      if (glyphs.size() >= 8) break;
    }
    font.ReadGlyphWidths();
    pdf::TkvTrueTypeFile again(font.Subset(glyphs));
    again.ReadUnicodeCmap();
  } catch (const rtl::Exception&) {
  }
  return 0;
}
