#include "imaging/PCXGraphic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace std::string_literals;
using tk::test::BitmapRGB;
using tk::test::MaxDifference;
using tk::test::NetpbmRGB;
using tk::test::Tool;

std::string Header(uint8_t encoding, uint8_t bits, uint16_t width, uint16_t height, uint8_t planes,
                   uint16_t bytesPerLine, uint8_t paletteKind = 1, uint8_t version = 5) {
  std::string h(128, '\0');
  h[0] = 10;
  h[1] = static_cast<char>(version);
  h[2] = static_cast<char>(encoding);
  h[3] = static_cast<char>(bits);
  h[8] = static_cast<char>(width - 1), h[9] = static_cast<char>((width - 1) >> 8);
  h[10] = static_cast<char>(height - 1), h[11] = static_cast<char>((height - 1) >> 8);
  h[65] = static_cast<char>(planes);
  h[66] = static_cast<char>(bytesPerLine), h[67] = static_cast<char>(bytesPerLine >> 8);
  h[68] = static_cast<char>(paletteKind);
  return h;
}

TEST(TPCXGraphic, OracleFilesDecodeAsTheOracleDecodesThem) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("ppmtopcx");
  TK_REQUIRE_TOOL("pcxtoppm");
  // An odd width, so that lines carry padding, and flat areas for long runs.
  const std::string picture = tk::test::NoiseAboveFlat(83, 7, 4, 9);
  const std::string colours16 = Tool({"convert-im6.q16", "ppm:-", "-colors", "16", "ppm:-"}, picture);
  const std::string colours4 = Tool({"convert-im6.q16", "ppm:-", "-colors", "4", "ppm:-"}, picture);
  const std::string mono = Tool({"convert-im6.q16", "ppm:-", "-monochrome", "ppm:-"}, picture);
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    const std::string* input;
    graphics::TPixelFormat format;
  };
  const std::vector<Case> cases = {
      {"24-bit", {"convert-im6.q16", "ppm:-", "pcx:-"}, &picture, graphics::pf24bit},
      {"8-bit with a palette block",
       {"convert-im6.q16", "ppm:-", "-type", "Palette", "pcx:-"},
       &picture,
       graphics::pf8bit},
      {"netpbm 24-bit", {"ppmtopcx", "-24bit"}, &picture, graphics::pf24bit},
      {"netpbm 8-bit", {"ppmtopcx", "-8bit"}, &colours16, graphics::pf8bit},
      {"netpbm four bit planes", {"ppmtopcx"}, &colours16, graphics::pf4bit},
      {"netpbm packed 4-bit", {"ppmtopcx", "-packed"}, &colours16, graphics::pf4bit},
      {"netpbm packed 2-bit", {"ppmtopcx", "-packed"}, &colours4, graphics::pf4bit},
      {"netpbm 1-bit", {"ppmtopcx"}, &mono, graphics::pf1bit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = Tool(c.argv, *c.input);
    EXPECT_TRUE(tk::test::Claimed<TPCXGraphic>(file));
    auto g = tk::test::LoadImage<TPCXGraphic>(file);
    EXPECT_EQ(g->PixelFormat(), c.format);
    ASSERT_EQ(g->Width(), 83);
    ASSERT_EQ(g->Height(), 11);
    // Decoded by netpbm: ImageMagick shows 1-bit files inverted.
    EXPECT_EQ(MaxDifference(BitmapRGB(*g), NetpbmRGB("pcxtoppm", file)), 0);
    // The 8-bit palette block at the end is optional: without it the pixels
    // are grey levels.
    tk::test::ExpectCutCopies<TPCXGraphic>(file, tk::test::TCutPolicy::kRaisesOrLoadsWhole);
  }
}

TEST(TPCXGraphic, FourBitPlanesMakeNibbles) {
  // Plane bytes 80, 00, 00, 80: the first pixel has bits 0 and 3.
  auto g = tk::test::LoadImage<TPCXGraphic>(Header(0, 1, 2, 1, 4, 1) + "\x80\x00\x00\x80"s);
  EXPECT_EQ(g->PixelFormat(), graphics::pf4bit);
  EXPECT_EQ(g->ScanLine(0)[0], 0x90);
}

TEST(TPCXGraphic, RunsMayCrossLines) {
  // 3 x 2 grey, two lines of 4 bytes: one run of 6, then two literals.
  auto g = tk::test::LoadImage<TPCXGraphic>(Header(1, 8, 3, 2, 1, 4, 2) + "\xC6\x11\x22\x33"s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(0)), 3), "\x11\x11\x11"s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(1)), 3), "\x11\x11\x22"s);
}

TEST(TPCXGraphic, CodedDataOfOneLiteralByteLoads) {
  // A byte below C0 stands for itself: one coded byte is a whole line.
  auto grey = tk::test::LoadImage<TPCXGraphic>(Header(1, 8, 1, 1, 1, 1, 2) + "\x42"s);
  EXPECT_EQ(grey->Pixel(0, 0), graphics::RGB(0x42, 0x42, 0x42));
  auto bilevel = tk::test::LoadImage<TPCXGraphic>(Header(1, 1, 8, 1, 1, 1) + "\x5A"s);
  EXPECT_EQ(bilevel->ScanLine(0)[0], 0x5A);
  // 64 bytes: a run of 63 and one literal.
  auto wide = tk::test::LoadImage<TPCXGraphic>(Header(1, 8, 64, 1, 1, 64, 2) + "\xFF\x07\x09"s);
  EXPECT_EQ(wide->Pixel(62, 0), graphics::RGB(7, 7, 7));
  EXPECT_EQ(wide->Pixel(63, 0), graphics::RGB(9, 9, 9));
}

TEST(TPCXGraphic, EightBitPalettes) {
  const std::string pixels = "\x01\x02"s;
  std::string block = "\x0C"s + std::string(768, '\0');
  block[1 + 3] = '\x10', block[1 + 4] = '\x20', block[1 + 5] = '\x30';
  // With the block: its entry 1.
  auto g = tk::test::LoadImage<TPCXGraphic>(Header(0, 8, 2, 1, 1, 2) + pixels + block);
  EXPECT_EQ(g->Pixel(0, 0), graphics::RGB(0x10, 0x20, 0x30));
  // Without it the pixels are all the data: nothing is cut off the end.
  auto grey = tk::test::LoadImage<TPCXGraphic>(Header(0, 8, 2, 1, 1, 2, 2) + pixels);
  EXPECT_EQ(grey->Pixel(1, 0), graphics::RGB(2, 2, 2));
}

TEST(TPCXGraphic, BadFilesRaise) {
  const std::string invalid = "Cannot load image. Invalid or unexpected PCX or SCR image format.";
  const std::string colour = "Invalid color format in PCX file.";
  const std::string readError = "Stream read error in PCX file.";
  std::string inverted = Header(0, 8, 1, 1, 1, 1) + "x";
  inverted[4] = 5;  // xmin above xmax
  struct Case {
    const char* name;
    std::string file;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"unknown identifier", "\x0B"s + Header(0, 8, 1, 1, 1, 1).substr(1) + "x", invalid},
      {"two bit planes", Header(0, 1, 8, 1, 2, 1) + "xy", colour},
      {"no bits", Header(0, 0, 8, 1, 1, 1) + "xy", colour},
      {"four byte planes", Header(0, 8, 1, 1, 4, 1) + "wxyz", colour},
      {"minimum above maximum", inverted, invalid},
      {"lines shorter than the width", Header(0, 8, 9, 1, 1, 8) + std::string(8, 'x'), invalid},
      {"plain data cut short", Header(0, 8, 4, 4, 1, 4) + std::string(15, 'x'), readError},
      // 65535 lines of 3 x 65535 bytes.
      {"block beyond any image", Header(1, 8, 65535, 65535, 3, 65535) + "\xFF\x00"s,
       "Cannot load image. The PCX or SCR image is too large (65535 x 65535 pixels)."},
      {"coded bomb", Header(1, 8, 8000, 8000, 1, 8000) + "\xFF\x00"s, readError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tk::test::LoadError<TPCXGraphic>(c.file), "EInvalidGraphic: " + c.message);
  }
}

TEST(TPCXGraphic, HeaderTest) {
  std::string capture = Header(0, 8, 1, 1, 1, 1) + "x";
  capture[0] = '\xCD';
  EXPECT_TRUE(tk::test::Claimed<TPCXGraphic>(Header(1, 8, 1, 1, 1, 1) + "x"));
  EXPECT_TRUE(tk::test::Claimed<TPCXGraphic>(capture));
  EXPECT_FALSE(tk::test::Claimed<TPCXGraphic>(Header(1, 8, 1, 1, 1, 1)));
  EXPECT_FALSE(tk::test::Claimed<TPCXGraphic>(Header(2, 8, 1, 1, 1, 1) + "x"));
  EXPECT_FALSE(tk::test::Claimed<TPCXGraphic>(Header(1, 8, 1, 1, 1, 1, 1, 4) + "x"));
  EXPECT_FALSE(tk::test::Claimed<TPCXGraphic>("\x0C"s + Header(1, 8, 1, 1, 1, 1).substr(1) + "x"));
}

}  // namespace
}  // namespace imaging
