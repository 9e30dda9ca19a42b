#include "imaging/SGIGraphic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace std::string_literals;
using tk::test::BitmapRGB;
using tk::test::MagickRGB;
using tk::test::MaxDifference;
using tk::test::Tool;

std::string Header(uint8_t storage, uint8_t bytesPerSample, uint16_t dimension, uint16_t width,
                   uint16_t height, uint16_t channels) {
  std::string h(512, '\0');
  h[0] = '\x01', h[1] = '\xDA';
  h[2] = static_cast<char>(storage);
  h[3] = static_cast<char>(bytesPerSample);
  auto word = [&](size_t at, uint16_t v) {
    h[at] = static_cast<char>(v >> 8), h[at + 1] = static_cast<char>(v);
  };
  word(4, dimension);
  word(6, width);
  word(8, height);
  word(10, channels);
  return h;
}

std::string Long(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

TEST(TSGIGraphic, OracleFilesDecodeAsTheOracleDecodesThem) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("pnmtosgi");
  const std::string picture = tk::test::NoiseAboveFlat(29, 8, 5, 5);
  const std::vector<std::string> alpha = {"-alpha", "on", "-channel", "A", "-fx", "0.5", "+channel"};
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    graphics::TPixelFormat format;
  };
  auto magick = [&](std::vector<std::string> options) {
    std::vector<std::string> argv = {"convert-im6.q16", "ppm:-"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("sgi:-");
    return argv;
  };
  std::vector<std::string> rgbaCoded = alpha, rgbaPlain = alpha;
  rgbaCoded.insert(rgbaCoded.end(), {"-depth", "8", "-compress", "RLE"});
  rgbaPlain.insert(rgbaPlain.end(), {"-depth", "8", "-compress", "None"});
  const std::vector<Case> cases = {
      {"RGB 8-bit plain", magick({"-depth", "8", "-compress", "None"}), graphics::pf24bit},
      {"RGB 8-bit coded", magick({"-depth", "8", "-compress", "RLE"}), graphics::pf24bit},
      {"RGB 16-bit", magick({"-depth", "16"}), graphics::pf24bit},
      {"grey 8-bit plain", magick({"-colorspace", "Gray", "-depth", "8", "-compress", "None"}),
       graphics::pf8bit},
      {"grey 8-bit coded", magick({"-colorspace", "Gray", "-depth", "8", "-compress", "RLE"}),
       graphics::pf8bit},
      {"grey 16-bit", magick({"-colorspace", "Gray", "-depth", "16"}), graphics::pf8bit},
      {"RGBA plain", magick(rgbaPlain), graphics::pf32bit},
      {"RGBA coded", magick(rgbaCoded), graphics::pf32bit},
      {"netpbm coded", {"pnmtosgi", "-rle"}, graphics::pf24bit},
      {"netpbm plain", {"pnmtosgi", "-verbatim"}, graphics::pf24bit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = Tool(c.argv, picture);
    EXPECT_TRUE(tk::test::Claimed<TSGIGraphic>(file));
    auto g = tk::test::LoadImage<TSGIGraphic>(file);
    EXPECT_EQ(g->PixelFormat(), c.format);
    ASSERT_EQ(g->Width(), 29);
    ASSERT_EQ(g->Height(), 13);
    EXPECT_EQ(MaxDifference(BitmapRGB(*g), MagickRGB(file, "sgi")), 0);
    tk::test::ExpectCutCopies<TSGIGraphic>(file, tk::test::TCutPolicy::kRaisesOrLoadsWhole);
  }
}

TEST(TSGIGraphic, GreyRowsAreStoredBottomFirst) {
  auto g = tk::test::LoadImage<TSGIGraphic>(Header(0, 1, 2, 2, 2, 1) + "\x0A\x14\x1E\x28"s);
  EXPECT_EQ(g->PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(0)), 2), "\x1E\x28"s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(1)), 2), "\x0A\x14"s);
  EXPECT_EQ(g->Palette()->Entry(30), (graphics::TPaletteEntry{30, 30, 30, 0}));
}

TEST(TSGIGraphic, SixteenBitGreyKeepsTheHighByte) {
  auto g = tk::test::LoadImage<TSGIGraphic>(Header(0, 2, 2, 2, 1, 1) + "\x12\x34\xAB\xCD"s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(0)), 2), "\x12\xAB"s);
}

TEST(TSGIGraphic, TwoChannelsLoadTheFirstAsGrey) {
  auto g = tk::test::LoadImage<TSGIGraphic>(Header(0, 1, 3, 2, 1, 2) + "\x05\x06"s + "\xFF\xFF"s);
  EXPECT_EQ(g->ImageProperties.ColorModel, cmIndexed);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(0)), 2), "\x05\x06"s);
  // So do 259, which a byte would hold as 3.
  auto many =
      tk::test::LoadImage<TSGIGraphic>(Header(0, 1, 3, 2, 1, 259) + "\x05\x06"s + "\xFF\xFF\x01\x02"s);
  EXPECT_EQ(many->PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(many->ScanLine(0)), 2), "\x05\x06"s);
}

TEST(TSGIGraphic, CodedRowsOutsideTheFileOrTooShortAreBlack) {
  // Two rows of 3: row 0 codes a run of 2 then ends; row 1 starts past the end.
  const std::string tables = Long(528) + Long(9999) + Long(3) + Long(0xFFFFFFFF);
  auto g = tk::test::LoadImage<TSGIGraphic>(Header(1, 1, 2, 3, 2, 1) + tables + "\x02\x07\x00"s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(1)), 3), "\x07\x07\x00"s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(0)), 3), std::string(3, '\0'));
}

TEST(TSGIGraphic, BadFilesRaise) {
  const std::string invalid = "Cannot load image. Invalid or unexpected sgi, bw or rgb(a) image format.";
  const std::string colour = "Invalid color format in SGI file.";
  struct Case {
    const char* name;
    std::string file;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no magic", "\x01\xDB"s + Header(0, 1, 2, 1, 1, 1).substr(2) + "x", invalid},
      {"short header", Header(0, 1, 2, 1, 1, 1).substr(0, 100), invalid},
      {"three bytes a sample", Header(0, 3, 2, 1, 1, 1) + "xyz", colour},
      {"no channels", Header(0, 1, 2, 1, 1, 0) + "x", colour},
      {"33 bytes a sample", Header(0, 33, 2, 1, 1, 1) + "x"s + std::string(33, 'x'), colour},
      {"zero height", Header(0, 1, 2, 1, 0, 1) + "x", invalid},
      // 65535 rows of 255 channels: the tables are not there.
      {"row tables past the end", Header(1, 1, 3, 1, 0xFFFF, 255) + "xyz", "Stream read error in SGI file."},
      // A header alone would make a 48 MB bitmap of nothing.
      {"plain rows past the end", Header(0, 1, 3, 4096, 4096, 3) + "xyz", "Stream read error in SGI file."},
      {"plain row cut short", Header(0, 1, 2, 2, 2, 1) + "\x0A\x14\x1E"s, "Stream read error in SGI file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tk::test::LoadError<TSGIGraphic>(c.file), "EInvalidGraphic: " + c.message);
  }
}

TEST(TSGIGraphic, HeaderTest) {
  EXPECT_TRUE(tk::test::Claimed<TSGIGraphic>(Header(0, 1, 2, 1, 1, 1) + "x"));
  EXPECT_FALSE(tk::test::Claimed<TSGIGraphic>(Header(0, 1, 2, 1, 1, 1)));
  EXPECT_FALSE(tk::test::Claimed<TSGIGraphic>(Header(0, 1, 0, 1, 1, 1) + "x"));
  EXPECT_FALSE(tk::test::Claimed<TSGIGraphic>(Header(0, 1, 4, 1, 1, 1) + "x"));
  EXPECT_FALSE(tk::test::Claimed<TSGIGraphic>(Header(0, 3, 2, 1, 1, 1) + "x"));
  // Dimension 4 is only the header test's concern.
  EXPECT_EQ(tk::test::LoadImage<TSGIGraphic>(Header(0, 1, 4, 1, 1, 1) + "x")->Width(), 1);
}

}  // namespace
}  // namespace imaging
