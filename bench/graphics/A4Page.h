// The page the graphics benchmarks work on: A4 at 300 dpi, bilevel, with
// text-like blocks of black on white (deterministic).
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/graphics/Graphics.h"

namespace bench {

inline constexpr int kA4Width = 2480;
inline constexpr int kA4Height = 3508;

inline void FillA4Page(graphics::TBitmap& page) {
  page.SetPixelFormat(graphics::pf1bit);
  page.SetSize(kA4Width, kA4Height);
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  for (int y = 0; y < kA4Height; ++y) {
    uint8_t* row = page.ScanLine(y);
    std::memset(row, 0xFF, static_cast<size_t>(page.Stride()));  // white (palette index 1)
    // Lines of text: 40 rows of glyphs, 20 rows of space, inside margins.
    if (y < 200 || y > kA4Height - 200 || (y % 60) >= 40) continue;
    for (int x = 240; x < kA4Width - 240; x += 8)
      if (next() % 3 == 0) row[x / 8] = static_cast<uint8_t>(next());
  }
}

}  // namespace bench
