// Shared by the reader tests: files made by the oracle tools, their pixels
// as the oracle decodes them, our pixels in the same layout, and the check
// that every cut of a file loads or raises the library's error.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/Graphics.h"
#include "platform/rtl/Classes.h"
#include "support/TestSupport.h"

namespace tk::test {

// Standard output of the tool; the test fails when it does not succeed.
inline std::string Tool(const std::vector<std::string>& argv, const std::string& input = {}) {
  ToolResult r = RunTool(argv, input);
  EXPECT_EQ(r.exitCode, 0) << argv[0] << ": " << r.err;
  return r.out;
}

// A small colour noise picture, 8 bits per sample, as a raw pixel map.
inline std::string NoisePicture(int width, int height, int seed) {
  return Tool({"convert-im6.q16", "-seed", std::to_string(seed), "-size",
               std::to_string(width) + "x" + std::to_string(height), "xc:", "-fx", "rand()", "-depth", "8", "ppm:-"});
}

// Noise rows above rows of one colour, so that a coded file of it holds
// both literal and run packets.
inline std::string NoiseAboveFlat(int width, int noiseRows, int flatRows, int seed) {
  return Tool({"convert-im6.q16", "ppm:-", "(", "-size", std::to_string(width) + "x" + std::to_string(flatRows),
               "xc:#336699", ")", "-append", "ppm:-"},
              NoisePicture(width, noiseRows, seed));
}

// The red, green, blue bytes of a file as a netpbm converter to PPM (the
// decoder) decodes it.
inline std::string NetpbmRGB(const std::string& decoder, const std::string& file) {
  return Tool({"convert-im6.q16", "ppm:-", "-depth", "8", "rgb:-"}, Tool({decoder}, file));
}

// The oracle's red, green, blue bytes of a file (8 bits per sample). The
// oracle keeps a file's row order as a note beside the pixels; turning
// them upright applies it.
inline std::string MagickRGB(const std::string& file, const std::string& format) {
  return Tool({"convert-im6.q16", format + ":-", "-auto-orient", "-depth", "8", "rgb:-"}, file);
}

// Our red, green, blue bytes, row by row from the top.
inline std::string BitmapRGB(const graphics::TBitmap& b) {
  std::string rgb;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const graphics::TColor c = b.Pixel(x, y);
      rgb += static_cast<char>(c & 0xFF);
      rgb += static_cast<char>((c >> 8) & 0xFF);
      rgb += static_cast<char>((c >> 16) & 0xFF);
    }
  return rgb;
}

// Largest difference of two equally long byte strings (255 when the
// lengths differ).
inline int MaxDifference(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return 255;
  int most = 0;
  for (size_t i = 0; i < a.size(); ++i)
    most = std::max(most, std::abs(static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i])));
  return most;
}

template <typename Reader>
std::unique_ptr<Reader> LoadImage(const std::string& bytes) {
  auto g = std::make_unique<Reader>();
  rtl::TStringStream s(bytes);
  g->LoadFromStream(s);
  return g;
}

// The message of the library's error a load raises, or "no error".
template <typename Reader>
std::string LoadError(const std::string& bytes) {
  try {
    LoadImage<Reader>(bytes);
  } catch (const rtl::Exception& e) {
    return e.what();
  }
  return "no error";
}

// The reader's header test claims the bytes and leaves the stream at 0.
template <typename Reader>
bool Claimed(const std::string& bytes) {
  rtl::TStringStream s(bytes);
  return Reader::CanReadStream(s) && s.Position() == 0;
}

// Every cut of the file either loads into an image of the full size or
// raises the library's error.
template <typename Reader>
void ExpectCutsLoadOrRaise(const std::string& bytes) {
  const size_t step = std::max<size_t>(1, bytes.size() / 40);
  for (size_t n = 0; n < bytes.size(); n += step) {
    SCOPED_TRACE("cut at " + std::to_string(n));
    try {
      auto g = LoadImage<Reader>(bytes.substr(0, n));
      ASSERT_FALSE(g->Empty());
      (void)g->Pixel(g->Width() - 1, g->Height() - 1);
    } catch (const graphics::EInvalidGraphic&) {
    }
  }
}

}  // namespace tk::test
