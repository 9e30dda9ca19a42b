#include "imaging/RLAGraphic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace tk::test;
using namespace std::string_literals;

void Put16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>(v >> 8 & 0xFF);
  s[at + 1] = static_cast<char>(v & 0xFF);
}

void Put32(std::string& s, size_t at, uint32_t v) {
  Put16(s, at, v >> 16);
  Put16(s, at + 2, v & 0xFFFF);
}

// One channel of a row: runs of three or more as run packets, the rest as
// literal packets, behind the 16-bit byte count.
std::string CodeChannel(const std::vector<uint8_t>& samples) {
  std::string packets;
  for (size_t i = 0; i < samples.size();) {
    size_t run = 1;
    while (i + run < samples.size() && samples[i + run] == samples[i] && run < 128) ++run;
    if (run >= 3) {
      packets += static_cast<char>(run - 1);
      packets += static_cast<char>(samples[i]);
      i += run;
      continue;
    }
    size_t n = std::min<size_t>(samples.size() - i, 2);
    packets += static_cast<char>(-static_cast<int>(n));
    packets.append(samples.begin() + static_cast<std::ptrdiff_t>(i),
                   samples.begin() + static_cast<std::ptrdiff_t>(i + n));
    i += n;
  }
  std::string coded(2, '\0');
  Put16(coded, 0, static_cast<uint32_t>(packets.size()));
  return coded + packets;
}

struct TRLAImage {
  int width = 0;
  int height = 0;
  bool matte = false;
  std::string gamma = "1.0";
  // Top row first; per pixel r, g, b (and the matte).
  std::vector<uint8_t> pixels;
};

// The file stores the bottom row first (active window bottom 0, top
// height - 1), each row at the offset its table entry gives.
std::string RLAFile(const TRLAImage& image) {
  std::string f(740, '\0');
  const int spp = image.matte ? 4 : 3;
  for (size_t at : {0u, 8u}) {
    Put16(f, at + 2, static_cast<uint32_t>(image.width - 1));
    Put16(f, at + 6, static_cast<uint32_t>(image.height - 1));
  }
  Put16(f, 20, 3);
  Put16(f, 22, image.matte ? 1 : 0);
  Put16(f, 26, 0xFFFE);
  std::memcpy(&f[28], image.gamma.data(), std::min<size_t>(image.gamma.size(), 16));
  std::memcpy(&f[580], "rgb", 3);
  Put16(f, 658, 8);
  Put16(f, 662, 8);
  const size_t tableAt = f.size();
  f.resize(f.size() + 4 * static_cast<size_t>(image.height), '\0');
  for (int i = 0; i < image.height; ++i) {
    const int y = image.height - 1 - i;
    Put32(f, tableAt + 4 * static_cast<size_t>(i), static_cast<uint32_t>(f.size()));
    for (int c = 0; c < spp; ++c) {
      std::vector<uint8_t> channel;
      for (int x = 0; x < image.width; ++x)
        channel.push_back(image.pixels[static_cast<size_t>((y * image.width + x) * spp + c)]);
      f += CodeChannel(channel);
    }
  }
  return f;
}

TRLAImage Gradient(int width, int height, bool matte) {
  TRLAImage image{width, height, matte, "1.0", {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      image.pixels.push_back(static_cast<uint8_t>(x * 40));
      image.pixels.push_back(static_cast<uint8_t>(y * 60));
      image.pixels.push_back(x < 3 ? 200 : static_cast<uint8_t>(x + y));
      if (matte) image.pixels.push_back(static_cast<uint8_t>(255 - x));
    }
  return image;
}

// ImageMagick's reader refuses these files, so the fixture's own pixels are
// the expectation.
TEST(TRLAGraphic, RowsAreStoredBottomUp) {
  for (const bool matte : {false, true}) {
    SCOPED_TRACE(matte ? "with matte" : "without matte");
    const TRLAImage image = Gradient(5, 4, matte);
    auto g = LoadImage<TRLAGraphic>(RLAFile(image));
    EXPECT_EQ(g->PixelFormat(), matte ? graphics::pf32bit : graphics::pf24bit);
    EXPECT_TRUE(g->ImageProperties.BottomUp);
    EXPECT_EQ(g->ImageProperties.ColorModel, matte ? cmRGBA : cmRGB);
    const size_t spp = matte ? 4 : 3;
    TRgbImage want{image.width, image.height, {}};
    for (size_t i = 0; i < image.pixels.size(); i += spp)
      want.rgb.insert(want.rgb.end(), &image.pixels[i], &image.pixels[i] + 3);
    ExpectSamePixels(PixelsOf(*g), want, 0);
    // The matte is the bitmap's alpha.
    if (matte) {
      EXPECT_EQ(g->ScanLine(2)[4 * 1 + 3], 254);
    }
  }
}

TEST(TRLAGraphic, GammaOtherThanOneIsApplied) {
  TRLAImage image = Gradient(5, 2, false);
  image.gamma = "2.2";
  auto g = LoadImage<TRLAGraphic>(RLAFile(image));
  EXPECT_FLOAT_EQ(g->ImageProperties.Gamma, 2.2f);
  EXPECT_TRUE(g->ImageProperties.Flags & pfGammaCorrected);
  // Red 40 of pixel (1, 0) through the table of exponent 1 / (2.2 × 2.2).
  const auto want = static_cast<int>(std::nearbyint(std::pow(40 / 255.0, 1 / (2.2 * 2.2)) * 255));
  EXPECT_EQ(g->Pixel(1, 0) & 0xFF, want);

  for (const char* text : {"gamma", "nan", "-1", "0"}) {
    SCOPED_TRACE(text);
    image.gamma = text;
    auto plain = LoadImage<TRLAGraphic>(RLAFile(image));
    EXPECT_FLOAT_EQ(plain->ImageProperties.Gamma, 1.0f);
    EXPECT_EQ(plain->Pixel(1, 0) & 0xFF, 40);
  }
}

TEST(TRLAGraphic, HeaderTest) {
  const std::string good = RLAFile(Gradient(3, 2, false));
  rtl::TStringStream s(good);
  EXPECT_EQ(FileFormats().FindClassByStream(s), TRLAGraphic::StaticClass());
  EXPECT_EQ(s.Position(), 0);
  std::string xyz = good;
  std::memcpy(&xyz[580], "XYZ", 3);
  rtl::TStringStream x(xyz);
  EXPECT_TRUE(TRLAGraphic::CanReadStream(x));
  EXPECT_EQ(LoadError<TRLAGraphic>(xyz),
            "EInvalidGraphic: Cannot load image. Invalid or unexpected RLA image format.");
}

TEST(TRLAGraphic, DamagedFiles) {
  const std::string readError = "EInvalidGraphic: Stream read error in RLA file.";
  const std::string colourError = "EInvalidGraphic: Invalid color format in RLA file.";
  const std::string good = RLAFile(Gradient(5, 4, false));
  auto patched = [&](size_t at, uint32_t value, bool wide = false) {
    std::string f = good;
    wide ? Put32(f, at, value) : Put16(f, at, value);
    return f;
  };
  const struct {
    const char* fault;
    std::string file;
    std::string error;
  } cases[] = {
      {"right-before-left", patched(10, 0xFFFE),
       "EInvalidGraphic: Cannot load image. Invalid or unexpected RLA image format."},
      {"one-channel", patched(20, 1), colourError},
      {"16-bit-channels", patched(658, 16), colourError},
      {"other-channel-kind",
       [&] {
         std::string f = good;
         std::memcpy(&f[580], "abc", 3);
         return f;
       }(),
       colourError},
      // A large active window over a few rows of data.
      {"bomb-5x32768", patched(14, 0x7FFF), readError},
      {"row-offset-beyond-the-file", patched(740, 0x7FFFFFF0, true), readError},
      {"channel-count-beyond-the-file", patched(740 + 16, 0xFFFF), readError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(LoadError<TRLAGraphic>(c.file), c.error);
  }
  // Rows whose offsets point into the header decode as wrong pixels, no more.
  EXPECT_EQ(LoadImage<TRLAGraphic>(patched(740, 0, true))->Height(), 4);
}

// A channel's count may run past what its pixels use; the next channel
// starts after all of it. Every row here points at the same channels, whose
// counts are far beyond the width: the rest is stepped over, not read, so
// such a file costs no more than its bitmap.
TEST(TRLAGraphic, BytesPastAFullChannelAreSkipped) {
  std::string f = RLAFile(Gradient(2, 3, false));
  f.resize(740 + 4 * 3);
  for (size_t row = 0; row < 3; ++row) Put32(f, 740 + 4 * row, static_cast<uint32_t>(f.size()));
  for (const uint8_t first : {10, 20, 30}) {
    std::string channel(2, '\0');
    channel += "\xFE"s + static_cast<char>(first) + static_cast<char>(first + 1);  // a literal of two
    channel += std::string(4000, '\x7F');  // runs of 128 that no pixel is left for
    Put16(channel, 0, static_cast<uint32_t>(channel.size() - 2));
    f += channel;
  }
  auto g = LoadImage<TRLAGraphic>(f);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 2; ++x) {
      SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
      const auto v = static_cast<uint32_t>(x);
      EXPECT_EQ(static_cast<uint32_t>(g->Pixel(x, y)), (10 + v) | (20 + v) << 8 | (30 + v) << 16);
    }
}

TEST(TRLAGraphic, TruncatedCopiesRaise) {
  ExpectCutCopies<TRLAGraphic>(RLAFile(Gradient(6, 3, true)), TCutPolicy::kRaises);
}

}  // namespace
}  // namespace imaging
