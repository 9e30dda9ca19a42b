#include "imaging/TargaGraphic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/PPMGraphic.h"
#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace std::string_literals;
using tk::test::BitmapRGB;
using tk::test::MagickRGB;
using tk::test::MaxDifference;
using tk::test::NetpbmRGB;
using tk::test::Tool;

// An 18-byte header.
std::string Header(uint8_t mapType, uint8_t imageType, uint16_t first, uint16_t mapLength, uint8_t entrySize,
                   uint16_t width, uint16_t height, uint8_t depth, uint8_t descriptor) {
  std::string h(18, '\0');
  h[1] = static_cast<char>(mapType);
  h[2] = static_cast<char>(imageType);
  h[3] = static_cast<char>(first), h[4] = static_cast<char>(first >> 8);
  h[5] = static_cast<char>(mapLength), h[6] = static_cast<char>(mapLength >> 8);
  h[7] = static_cast<char>(entrySize);
  h[12] = static_cast<char>(width), h[13] = static_cast<char>(width >> 8);
  h[14] = static_cast<char>(height), h[15] = static_cast<char>(height >> 8);
  h[16] = static_cast<char>(depth);
  h[17] = static_cast<char>(descriptor);
  return h;
}

// ---------------------------------------------------------------------------
// Files written by ImageMagick and netpbm, decoded as netpbm decodes them
// (ImageMagick writes rows top first under a header that says bottom first,
// and reads them back the same way).

TEST(TTargaGraphic, OracleFilesDecodeAsTheOracleDecodesThem) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("ppmtotga");
  TK_REQUIRE_TOOL("tgatoppm");
  // Noise beside flat areas, so that coded files hold both kinds of packet.
  const std::string picture = tk::test::NoiseAboveFlat(37, 17, 6, 7);
  const std::string picture16 = Tool({"convert-im6.q16", "ppm:-", "-colors", "16", "ppm:-"}, picture);
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    const std::string* input;
    graphics::TPixelFormat format;
    int tolerance;  // 5-bit samples widen differently
  };
  const std::vector<Case> cases = {
      {"24-bit bottom first",
       {"convert-im6.q16", "ppm:-", "-compress", "None", "tga:-"},
       &picture,
       graphics::pf24bit,
       0},
      {"24-bit top first",
       {"convert-im6.q16", "ppm:-", "-compress", "None", "-orient", "TopLeft", "tga:-"},
       &picture,
       graphics::pf24bit,
       0},
      {"24-bit coded",
       {"convert-im6.q16", "ppm:-", "-compress", "RLE", "tga:-"},
       &picture,
       graphics::pf24bit,
       0},
      {"24-bit coded top first",
       {"convert-im6.q16", "ppm:-", "-compress", "RLE", "-orient", "TopLeft", "tga:-"},
       &picture,
       graphics::pf24bit,
       0},
      {"32-bit with alpha",
       {"convert-im6.q16", "ppm:-", "-alpha", "on", "-channel", "A", "-fx", "0.5", "+channel", "-compress",
        "None", "tga:-"},
       &picture,
       graphics::pf32bit,
       0},
      {"32-bit coded",
       {"convert-im6.q16", "ppm:-", "-alpha", "on", "-channel", "A", "-fx", "0.5", "+channel", "-compress",
        "RLE", "tga:-"},
       &picture,
       graphics::pf32bit,
       0},
      {"16-bit",
       {"convert-im6.q16", "ppm:-", "-depth", "5", "-compress", "None", "tga:-"},
       &picture,
       graphics::pf15bit,
       8},
      {"16-bit coded",
       {"convert-im6.q16", "ppm:-", "-depth", "5", "-compress", "RLE", "tga:-"},
       &picture,
       graphics::pf15bit,
       8},
      {"colour-mapped",
       {"convert-im6.q16", "ppm:-", "-type", "Palette", "-compress", "None", "tga:-"},
       &picture16,
       graphics::pf8bit,
       0},
      {"colour-mapped coded",
       {"convert-im6.q16", "ppm:-", "-type", "Palette", "-compress", "RLE", "tga:-"},
       &picture16,
       graphics::pf8bit,
       0},
      {"grey",
       {"convert-im6.q16", "ppm:-", "-type", "Grayscale", "-compress", "None", "tga:-"},
       &picture,
       graphics::pf8bit,
       0},
      {"grey coded",
       {"convert-im6.q16", "ppm:-", "-type", "Grayscale", "-compress", "RLE", "tga:-"},
       &picture,
       graphics::pf8bit,
       0},
      {"netpbm true colour with an ID field", {"ppmtotga", "-rgb"}, &picture, graphics::pf24bit, 0},
      {"netpbm colour-mapped", {"ppmtotga", "-cmap"}, &picture16, graphics::pf8bit, 0},
      {"netpbm grey plain", {"ppmtotga", "-mono", "-norle"}, &picture, graphics::pf8bit, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = Tool(c.argv, *c.input);
    ASSERT_TRUE(tk::test::Claimed<TTargaGraphic>(file));
    auto g = tk::test::LoadImage<TTargaGraphic>(file);
    EXPECT_EQ(g->PixelFormat(), c.format);
    ASSERT_EQ(g->Width(), 37);
    ASSERT_EQ(g->Height(), 23);
    EXPECT_LE(MaxDifference(BitmapRGB(*g), NetpbmRGB("tgatoppm", file)), c.tolerance);
    tk::test::ExpectCutCopies<TTargaGraphic>(file, tk::test::TCutPolicy::kRaises);
  }
}

// ---------------------------------------------------------------------------
// Layouts the oracles do not write

TEST(TTargaGraphic, RunsCrossingRowsContinueOnTheNextRow) {
  // 3 x 2, top first: a run of 4 then 2 literal pixels.
  const std::string file =
      Header(0, 10, 0, 0, 0, 3, 2, 24, 0x20) + "\x83\x01\x02\x03"s + "\x01\x04\x05\x06\x07\x08\x09"s;
  auto g = tk::test::LoadImage<TTargaGraphic>(file);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(0)), 9),
            "\x01\x02\x03\x01\x02\x03\x01\x02\x03"s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(1)), 9),
            "\x01\x02\x03\x04\x05\x06\x07\x08\x09"s);
}

TEST(TTargaGraphic, ColourMapEntriesStartAtTheFirstEntryIndex) {
  // Two 16-bit entries for indices 2 and 3; index 0 lies outside the map.
  const std::string map = "\x00\x7C"s + "\x1F\x00"s;  // red, blue
  const std::string file = Header(1, 1, 2, 2, 16, 3, 1, 8, 0x20) + map + "\x02\x03\x00"s;
  auto g = tk::test::LoadImage<TTargaGraphic>(file);
  EXPECT_EQ(g->Pixel(0, 0), graphics::RGB(248, 0, 0));
  EXPECT_EQ(g->Pixel(1, 0), graphics::RGB(0, 0, 248));
  EXPECT_EQ(g->Pixel(2, 0), graphics::clBlack);
}

TEST(TTargaGraphic, OrientationBits) {
  const std::string pixels = "\x01\x02"s + "\x03\x04"s;  // 2 x 2 grey, as stored
  struct Case {
    uint8_t descriptor;
    std::string top, bottom;
  };
  for (const Case& c : {Case{0x00, "\x03\x04", "\x01\x02"}, Case{0x20, "\x01\x02", "\x03\x04"},
                        Case{0x30, "\x02\x01", "\x04\x03"}, Case{0x10, "\x04\x03", "\x02\x01"}}) {
    SCOPED_TRACE(c.descriptor);
    auto g = tk::test::LoadImage<TTargaGraphic>(Header(0, 3, 0, 0, 0, 2, 2, 8, c.descriptor) + pixels);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(0)), 2), c.top);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->ScanLine(1)), 2), c.bottom);
    EXPECT_EQ(g->ImageProperties.BottomUp, !(c.descriptor & 0x20));
  }
}

TEST(TTargaGraphic, HeaderTest) {
  EXPECT_TRUE(tk::test::Claimed<TTargaGraphic>(Header(0, 2, 0, 0, 0, 1, 1, 24, 0) + "xyz"));
  EXPECT_TRUE(tk::test::Claimed<TTargaGraphic>(Header(1, 9, 0, 2, 24, 1, 1, 8, 0) + "xyz"));
  // A colour-mapped image needs its map's entry size; nothing with 18 bytes.
  EXPECT_FALSE(tk::test::Claimed<TTargaGraphic>(Header(0, 1, 0, 0, 0, 1, 1, 8, 0) + "xyz"));
  EXPECT_FALSE(tk::test::Claimed<TTargaGraphic>(Header(0, 2, 0, 0, 0, 1, 1, 24, 0)));
  EXPECT_FALSE(tk::test::Claimed<TTargaGraphic>(Header(0, 4, 0, 0, 0, 1, 1, 24, 0) + "xyz"));
  EXPECT_FALSE(tk::test::Claimed<TTargaGraphic>(Header(2, 2, 0, 0, 0, 1, 1, 24, 0) + "xyz"));
  EXPECT_FALSE(tk::test::Claimed<TTargaGraphic>(Header(0, 2, 0, 0, 0, 1, 1, 12, 0) + "xyz"));
}

TEST(TTargaGraphic, BadFilesRaise) {
  const std::string invalid = "Cannot load image. Invalid or unexpected Targa image format.";
  const std::string readError = "Stream read error in Targa file.";
  struct Case {
    const char* name;
    std::string file;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no image data", Header(0, 0, 0, 0, 0, 2, 2, 8, 0) + "abcd", invalid},
      {"unknown image type", Header(0, 5, 0, 0, 0, 2, 2, 8, 0) + "abcd", invalid},
      {"zero width", Header(0, 2, 0, 0, 0, 0, 2, 24, 0) + "abcd", invalid},
      {"colour-mapped without a map", Header(0, 1, 0, 0, 0, 2, 2, 8, 0) + "abcd",
       "Cannot load image. Palette in Targa file is invalid."},
      {"16-bit indices", Header(1, 1, 0, 1, 24, 1, 1, 16, 0) + "abcde",
       "Invalid color format in Targa file."},
      {"pixels cut short", Header(0, 2, 0, 0, 0, 2, 2, 24, 0) + std::string(11, 'x'), readError},
      {"map cut short", Header(1, 1, 0, 256, 24, 1, 1, 8, 0) + std::string(700, 'x'), readError},
      {"ID field past the end", "\xF0"s + Header(0, 2, 0, 0, 0, 1, 1, 24, 0).substr(1) + "abc", readError},
      // 65535 x 65535 coded pixels cannot come out of a few bytes.
      {"coded bomb", Header(0, 10, 0, 0, 0, 0xFFFF, 0xFFFF, 24, 0) + "\xFF\x01\xFF\x01"s, readError},
      {"short header", "\x00\x00\x02"s, readError},
      // Three of the eight grey pixels: the rest would pass for black.
      {"coded data ending early", Header(0, 11, 0, 0, 0, 4, 2, 8, 0x20) + "\x82\x09"s, readError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tk::test::LoadError<TTargaGraphic>(c.file), "EInvalidGraphic: " + c.message);
  }
}

// ---------------------------------------------------------------------------
// Writing

std::string Save(const TTargaGraphic& g, bool compressed) {
  rtl::TStringStream s("");
  g.WriteTarga(s, compressed);
  return s.DataString();
}

TEST(TTargaGraphic, SavedFilesRoundTripThroughUsAndTheOracle) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  const std::string ppm =
      Tool({"convert-im6.q16", "ppm:-", "(", "-size", "150x3", "xc:#A05010", ")", "-append", "ppm:-"},
           tk::test::NoisePicture(150, 4, 3));
  for (const graphics::TPixelFormat format :
       {graphics::pf1bit, graphics::pf4bit, graphics::pf8bit, graphics::pf15bit, graphics::pf16bit,
        graphics::pf24bit, graphics::pf32bit}) {
    for (const bool compressed : {true, false}) {
      SCOPED_TRACE(std::string(graphics::PixelFormatName(format)) + (compressed ? " coded" : " plain"));
      TTargaGraphic g;
      g.Assign(*tk::test::LoadImage<TPPMGraphic>(ppm));
      g.SetPixelFormat(format);
      const std::string expected = BitmapRGB(g);
      const std::string file = Save(g, compressed);
      EXPECT_EQ(g.PixelFormat(), format);  // the bitmap saved is not changed
      EXPECT_EQ(static_cast<uint8_t>(file[2]) & 8, compressed ? 8 : 0);
      auto back = tk::test::LoadImage<TTargaGraphic>(file);
      EXPECT_EQ(back->Width(), 150);
      EXPECT_EQ(back->Height(), 7);
      EXPECT_EQ(BitmapRGB(*back), expected);
      // The oracle widens 5-bit samples its own way.
      EXPECT_LE(MaxDifference(MagickRGB(file, "tga"), expected), format == graphics::pf15bit ? 8 : 0);
    }
  }
}

TEST(TTargaGraphic, SavingIndexedBitmapsWritesAColourMap) {
  TTargaGraphic g;
  g.SetPixelFormat(graphics::pf1bit);
  g.SetSize(9, 2);
  const std::string file = Save(g, true);
  EXPECT_EQ(file.substr(0, 18), Header(1, 9, 0, 256, 24, 9, 2, 8, 0x20));
  EXPECT_EQ(file.substr(18, 6), "\x00\x00\x00\xFF\xFF\xFF"s);  // black, white, then black entries
  EXPECT_EQ(file.size(), 18u + 768u + 2u * 2u);                // one run packet a row
}

TEST(TTargaGraphic, SavingAnEmptyBitmapWritesNothing) {
  TTargaGraphic g;
  EXPECT_EQ(Save(g, true), "");
}

}  // namespace
}  // namespace imaging
