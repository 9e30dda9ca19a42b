// What the image reader tests share: files made by the oracle tools and
// their pixels as the oracle decodes them, our pixels in the same layout,
// loading from bytes, and the sweep of cut-short copies every fixture goes
// through.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "imaging/ImageFormats.h"
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
               std::to_string(width) + "x" + std::to_string(height), "xc:", "-fx", "rand()", "-depth", "8",
               "ppm:-"});
}

// Noise rows above rows of one colour, so that a coded file of it holds
// both literal and run packets.
inline std::string NoiseAboveFlat(int width, int noiseRows, int flatRows, int seed) {
  return Tool({"convert-im6.q16", "ppm:-", "(", "-size",
               std::to_string(width) + "x" + std::to_string(flatRows), "xc:#336699", ")", "-append", "ppm:-"},
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

struct TRgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // row after row from the top
};

inline TRgbImage PixelsOf(const graphics::TBitmap& b) {
  const std::string rgb = BitmapRGB(b);
  return {b.Width(), b.Height(), std::vector<uint8_t>(rgb.begin(), rgb.end())};
}

// A raw 8-bit P6 file as netpbm and ImageMagick write it.
inline TRgbImage ParsePPM(const std::string& ppm) {
  TRgbImage image;
  size_t at = 2;
  auto number = [&] {
    while (at < ppm.size() && (ppm[at] < '0' || ppm[at] > '9')) ++at;
    int v = 0;
    while (at < ppm.size() && ppm[at] >= '0' && ppm[at] <= '9') v = v * 10 + (ppm[at++] - '0');
    return v;
  };
  if (ppm.compare(0, 2, "P6") != 0) return image;
  image.width = number();
  image.height = number();
  number();  // 255
  ++at;
  image.rgb.assign(ppm.begin() + static_cast<std::ptrdiff_t>(std::min(at, ppm.size())), ppm.end());
  return image;
}

// The file decoded by ImageMagick into 8-bit RGB; "[0]" picks the first
// image (a PSD's composite).
inline TRgbImage ImageMagickPixels(const std::string& file) {
  const ToolResult r =
      RunTool({"convert-im6.q16", file + "[0]", "-colorspace", "sRGB", "-depth", "8", "ppm:-"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return ParsePPM(r.out);
}

// Every sample within tolerance steps; reports the first difference.
inline void ExpectSamePixels(const TRgbImage& got, const TRgbImage& want, int tolerance) {
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  ASSERT_EQ(got.rgb.size(), want.rgb.size());
  for (size_t i = 0; i < got.rgb.size(); ++i)
    if (std::abs(got.rgb[i] - want.rgb[i]) > tolerance) {
      const size_t pixel = i / 3;
      FAIL() << "pixel (" << pixel % static_cast<size_t>(got.width) << ", "
             << pixel / static_cast<size_t>(got.width) << ") sample " << i % 3 << ": " << int{got.rgb[i]}
             << " against " << int{want.rgb[i]};
    }
}

// The bytes as a zlib stream, best compression.
inline std::string Deflated(const std::string& raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
            static_cast<uLong>(raw.size()), 9);
  out.resize(size);
  return out;
}

// Lab pixels for the readers' Lab paths, one row each, and how far our
// RGB may lie from ImageMagick's. Grey depends on the lightness curve alone;
// colours also on the RGB primaries, and ours sit a little off the sRGB
// ones. A missing or wrong lightness curve is dozens of steps off.
struct TLabRow {
  const char* name;
  std::vector<std::array<double, 3>> pixels;  // L* 0..100, a*, b*
  int tolerance;
};

inline std::vector<TLabRow> LabRows() {
  return {{"greys", {{0, 0, 0}, {5, 0, 0}, {20, 0, 0}, {50, 0, 0}, {75, 0, 0}, {100, 0, 0}}, 2},
          {"colours",
           {{60, -16, 32}, {50, 60, 30}, {40, -30, -40}, {70, 20, -60}, {30, 10, 10}, {90, -10, 60}},
           10}};
}

template <typename Reader>
std::unique_ptr<Reader> LoadImage(const std::string& bytes) {
  auto g = std::make_unique<Reader>();
  rtl::TStringStream s(bytes);
  g->LoadFromStream(s);
  return g;
}

// The library's error a load raises as "class: message", or "loaded".
template <typename Reader>
std::string LoadError(const std::string& bytes) {
  try {
    LoadImage<Reader>(bytes);
  } catch (const rtl::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.what();
  }
  return "loaded";
}

// The reader's header test claims the bytes and leaves the stream at 0.
template <typename Reader>
bool Claimed(const std::string& bytes) {
  rtl::TStringStream s(bytes);
  return Reader::CanReadStream(s) && s.Position() == 0;
}

// What a cut-short copy of a good file may do: always raise the invalid-
// graphic error (a cut file is never a whole image), or, where the format
// leaves the tail of an image or a directory optional, also load a whole
// bitmap of the declared size.
enum class TCutPolicy { kRaises, kRaisesOrLoadsWhole };

// Cuts the file at up to 300 places and checks every copy against the
// policy. The last optionalTail bytes may go without an error (an end
// marker after the last pixel).
template <typename Reader>
void ExpectCutCopies(const std::string& bytes, TCutPolicy policy, size_t optionalTail = 0) {
  const size_t step = std::max<size_t>(1, bytes.size() / 300);
  for (size_t n = 0; n < bytes.size(); n += step) {
    SCOPED_TRACE("cut to " + std::to_string(n) + " of " + std::to_string(bytes.size()) + " bytes");
    try {
      const auto g = LoadImage<Reader>(bytes.substr(0, n));
      if (policy == TCutPolicy::kRaises && n + optionalTail < bytes.size()) {
        ADD_FAILURE() << "a cut-short file loaded";
      } else {
        ASSERT_FALSE(g->Empty());
        (void)g->Pixel(g->Width() - 1, g->Height() - 1);
      }
    } catch (const graphics::EInvalidGraphic&) {
    }
  }
}

}  // namespace tk::test
