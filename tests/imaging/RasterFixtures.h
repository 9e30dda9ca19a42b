// What the reader tests share beside ImageOracle.h: pixels of a loaded
// bitmap as an image of RGB samples, pixels an outside tool decodes, and the
// truncation sweep every fixture goes through.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ImageOracle.h"
#include "imaging/ImageFormats.h"
#include "support/TestSupport.h"

namespace imaging::fixtures {

struct TRgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // row after row from the top
};

inline TRgbImage PixelsOf(const graphics::TBitmap& b) {
  const std::string rgb = tk::test::BitmapRGB(b);
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
  const tk::test::ToolResult r = tk::test::RunTool({"convert-im6.q16", file + "[0]", "-colorspace", "sRGB", "-depth", "8", "ppm:-"});
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
      FAIL() << "pixel (" << pixel % static_cast<size_t>(got.width) << ", " << pixel / static_cast<size_t>(got.width)
             << ") sample " << i % 3 << ": " << int{got.rgb[i]} << " against " << int{want.rgb[i]};
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
          {"colours", {{60, -16, 32}, {50, 60, 30}, {40, -30, -40}, {70, 20, -60}, {30, 10, 10}, {90, -10, 60}}, 10}};
}

template <typename G>
std::unique_ptr<G> LoadBytes(const std::string& bytes) {
  return tk::test::LoadImage<G>(bytes);
}

// The message of the error a load raises, "loaded" when there is none.
template <typename G>
std::string LoadError(const std::string& bytes) {
  try {
    LoadBytes<G>(bytes);
  } catch (const rtl::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.what();
  }
  return "loaded";
}

// Every cut-short copy of a good file raises the invalid-graphic error (a
// cut file is never a whole image) or, where a format allows, loads a whole
// bitmap of the declared size. Large files are cut at a few hundred places.
// The last optionalTail bytes may go without an error (an end marker after
// the last pixel).
template <typename G>
void ExpectTruncatedCopiesRaise(const std::string& bytes, size_t optionalTail = 0) {
  const size_t step = std::max<size_t>(1, bytes.size() / 300);
  for (size_t n = 0; n < bytes.size(); n += step) {
    SCOPED_TRACE("cut to " + std::to_string(n) + " of " + std::to_string(bytes.size()) + " bytes");
    try {
      const auto g = LoadBytes<G>(bytes.substr(0, n));
      if (n + optionalTail < bytes.size()) ADD_FAILURE() << "a cut-short file loaded";
    } catch (const graphics::EInvalidGraphic&) {
    }
  }
}

}  // namespace imaging::fixtures
