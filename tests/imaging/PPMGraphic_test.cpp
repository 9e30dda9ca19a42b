#include "imaging/PPMGraphic.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ImageReaders.h"
#include "support/TestSupport.h"

namespace imaging {
namespace {

using tk::test::Tool;
using namespace std::string_literals;

const std::string kInvalid =
    "EInvalidGraphic: Cannot load image. Invalid or unexpected PBM, PGM or PPM image format.";
const std::string kReadError = "EInvalidGraphic: Stream read error in PPM file.";

std::string Row(const graphics::TBitmap& b, int y, size_t n) {
  return std::string(reinterpret_cast<const char*>(b.ScanLine(y)), n);
}

TEST(TPPMGraphic, RawBitmap) {
  auto g = tk::test::LoadImage<TPPMGraphic>("P4\n3 2\n\xA0\x40"s);
  EXPECT_EQ(g->PixelFormat(), graphics::pf1bit);
  ASSERT_EQ(g->Width(), 3);
  ASSERT_EQ(g->Height(), 2);
  EXPECT_EQ(g->Pixel(0, 0), graphics::clBlack);
  EXPECT_EQ(g->Pixel(1, 0), graphics::clWhite);
  EXPECT_EQ(g->Pixel(2, 0), graphics::clBlack);
  EXPECT_EQ(g->Pixel(0, 1), graphics::clWhite);
  EXPECT_EQ(g->Pixel(1, 1), graphics::clBlack);
  EXPECT_EQ(g->Pixel(2, 1), graphics::clWhite);
  // Index 0 white, 1 black: the file's bytes stand as they are.
  EXPECT_EQ(g->ScanLine(0)[0], 0xA0);
  EXPECT_EQ(g->Palette()->Entry(0), (graphics::TPaletteEntry{255, 255, 255, 0}));
  EXPECT_EQ(g->Palette()->Entry(1), (graphics::TPaletteEntry{0, 0, 0, 0}));
  EXPECT_EQ(g->ImageProperties.ColorModel, cmIndexed);
  EXPECT_EQ(g->ImageProperties.BitsPerPixel, 1);
  EXPECT_EQ(g->ImageProperties.Compression, ctNone);
  EXPECT_FLOAT_EQ(g->ImageProperties.Gamma, 1.0f);
}

TEST(TPPMGraphic, RawBitmapPaddingBitsAreCleared) {
  auto g = tk::test::LoadImage<TPPMGraphic>("P4\n3 1\n\xBF"s);
  EXPECT_EQ(g->ScanLine(0)[0], 0xA0);
}

TEST(TPPMGraphic, RawPixelMapIsStoredBlueGreenRed) {
  auto g = tk::test::LoadImage<TPPMGraphic>("P6\n1 1\n255\n\x0A\x14\x1E"s);
  EXPECT_EQ(g->PixelFormat(), graphics::pf24bit);
  EXPECT_EQ(Row(*g, 0, 3), "\x1E\x14\x0A");
  EXPECT_EQ(g->ImageProperties.ColorModel, cmRGB);
  EXPECT_EQ(g->ImageProperties.BitsPerPixel, 24);
}

TEST(TPPMGraphic, PlainBitmaps) {
  struct Case {
    const char* name;
    std::string file;
    int width;
    std::vector<uint8_t> row0;
  };
  const std::vector<Case> cases = {
      {"digits in comments are ignored", "P1\n# made 2024 by 77\n# 3 4 5\n2 1\n1 0\n", 2, {0x80}},
      {"lowest bit of each digit", "P1\n4 1\n0 1 3 2\n", 4, {0x60}},
      {"bits without spaces are pixels each", "P1\n4 1\n0110", 4, {0x60}},
      {"width not a multiple of 8 leaves zeros", "P1\n10 1\n1 1 1 1 1 1 1 1 1 1\n", 10, {0xFF, 0xC0}},
      {"comment inside the raster", "P1\n3 1\n1 # 0 0 0\n0 1\n", 3, {0xA0}},
      {"numbers on the magic's line", "P1 3 1 1 0 1", 3, {0xA0}},
      {"crlf line ends", "P1\r\n# c\r\n3 1\r\n1 1 0\r\n", 3, {0xC0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto g = tk::test::LoadImage<TPPMGraphic>(c.file);
    ASSERT_EQ(g->Width(), c.width);
    ASSERT_EQ(g->Height(), 1);
    EXPECT_EQ(std::vector<uint8_t>(g->ScanLine(0), g->ScanLine(0) + c.row0.size()), c.row0);
  }
}

TEST(TPPMGraphic, SamplesAreScaledFromTheMaximumValue) {
  struct Case {
    const char* name;
    std::string file;
    std::vector<uint8_t> row0;
  };
  const std::vector<Case> cases = {
      {"plain grey, maximum 15", "P2\n4 1\n15\n0 1 8 15\n", {0, 17, 136, 255}},
      {"raw grey, maximum 15", "P5\n3 1\n15\n\x00\x07\x0F"s, {0, 119, 255}},
      {"raw grey, maximum 255 as it stands", "P5\n3 1\n255\n\x00\x07\xFF"s, {0, 7, 255}},
      {"raw grey, two-byte samples", "P5\n3 1\n1023\n\x00\x00\x02\x00\x03\xFF"s, {0, 128, 255}},
      {"raw grey, maximum 65535", "P5\n2 1\n65535\n\x80\x80\xFF\xFF"s, {128, 255}},
      {"plain grey above the maximum is white", "P2\n2 1\n15\n16 99999\n", {255, 255}},
      {"plain colour, maximum 1", "P3\n1 1\n1\n1 0 1\n", {255, 0, 255}},
      {"raw colour, maximum 15", "P6\n1 1\n15\n\x0F\x00\x05"s, {85, 0, 255}},
      {"raw colour, two-byte samples", "P6\n1 1\n65535\n\xFF\xFF\x00\x00\x80\x00"s, {128, 0, 255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto g = tk::test::LoadImage<TPPMGraphic>(c.file);
    EXPECT_EQ(std::vector<uint8_t>(g->ScanLine(0), g->ScanLine(0) + c.row0.size()), c.row0);
  }
  auto g = tk::test::LoadImage<TPPMGraphic>("P2\n1 1\n15\n3\n");
  EXPECT_EQ(g->PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(g->MaxSampleValue(), 15u);
  EXPECT_EQ(g->Palette()->Entry(255), (graphics::TPaletteEntry{255, 255, 255, 0}));
  EXPECT_EQ(g->Palette()->Entry(0), (graphics::TPaletteEntry{0, 0, 0, 0}));
}

TEST(TPPMGraphic, BadFilesRaise) {
  struct Case {
    const char* name;
    std::string file;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"empty", "", kReadError},
      {"not a portable map", "GIF89a......", kInvalid},
      {"P7 is accepted by no loader", "P7\nWIDTH 2\nHEIGHT 2\n", kInvalid},
      {"P0", "P0\n2 2\n", kInvalid},
      {"magic digit missing", "Px\n1 1\n", "EConvertError: 'x' is not a valid integer value"},
      {"zero width", "P5\n0 5\n255\n", kInvalid},
      {"zero height", "P4\n8 0\n", kInvalid},
      {"maximum 0", "P5\n1 1\n0\n\x01", kInvalid},
      {"maximum above 65535", "P2\n1 1\n65536\n1\n", kInvalid},
      {"width overflows 32 bits", "P4\n99999999999 1\n", kInvalid},
      {"sample overflows 32 bits", "P2\n1 1\n255\n4294967296\n", kInvalid},
      {"header cut after the width", "P6\n12", kReadError},
      {"header cut after the height", "P6\n12 7\n", kReadError},
      {"raw raster cut short", "P5\n4 2\n255\n\x01\x02\x03\x04\x05"s, kReadError},
      {"plain raster cut short", "P2\n3 1\n255\n1 2", kReadError},
      {"raster far larger than the file", "P6\n60000 60000\n255\n\x01\x02\x03", kReadError},
      {"plain raster far larger than the file", "P1\n4000000000 4000000000\n1", kReadError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tk::test::LoadError<TPPMGraphic>(c.file), c.error);
  }
}

TEST(TPPMGraphic, OversizedImagesAreRefusedBeforeAllocation) {
  const int64_t before = graphics::TBitmap::PixelMemoryLimit();
  graphics::TBitmap::SetPixelMemoryLimit(1 << 20);
  std::string file = "P5\n2048 1024\n255\n" + std::string(2048 * 1024, '\x01');
  std::string error = tk::test::LoadError<TPPMGraphic>(file);
  graphics::TBitmap::SetPixelMemoryLimit(before);
  EXPECT_EQ(
      error,
      "EInvalidGraphic: Cannot load image. The PBM, PGM or PPM image is too large (2048 x 1024 pixels).");
  EXPECT_EQ(tk::test::LoadError<TPPMGraphic>(file), "loaded");
}

TEST(TPPMGraphic, HeaderTest) {
  struct Case {
    const char* name;
    std::string bytes;
    bool claimed;
  };
  const std::vector<Case> cases = {
      {"pbm", "P4\n16 2\n\xAA\x55\xAA\x55"s, true}, {"ppm", "P6\n1 1\n255\n\x01\x02\x03", true},
      {"plain pgm", "P2\n1 1\n255\n0\n", true},     {"ten bytes are not enough", "P4\n8 1\n\xAA\n", false},
      {"P7", "P7\nWIDTH 1\nHEIGHT 1\n", false},     {"P0", "P0\n1 1\n255\n0\n", false},
      {"lower case", "p6\n1 1\n255\n123", false},   {"garbage", std::string(64, '\xFF'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rtl::TStringStream s("xy" + c.bytes);
    s.SetPosition(2);
    EXPECT_EQ(TPPMGraphic::CanReadStream(s), c.claimed);
    EXPECT_EQ(s.Position(), 2);
  }
}

TEST(TPPMGraphic, ReadPropertiesAndReload) {
  TPPMGraphic g;
  rtl::TStringStream s("P6 2 3 1023\n" + std::string(2 * 3 * 6, '\0'));
  EXPECT_TRUE(g.ReadProperties(s, 0));
  EXPECT_EQ(g.ImageProperties.Width, 2u);
  EXPECT_EQ(g.ImageProperties.Height, 3u);
  EXPECT_EQ(g.ImageProperties.BitsPerSample, 16);
  EXPECT_EQ(g.ImageProperties.SamplesPerPixel, 3);
  rtl::TStringStream p7("P7\nWIDTH 2\n");
  EXPECT_FALSE(g.ReadProperties(p7, 0));

  // A second load replaces the first image, also when it changes format.
  g.LoadFromStream(*std::make_unique<rtl::TStringStream>("P4\n9 1\n\xFF\x80"s));
  EXPECT_EQ(g.PixelFormat(), graphics::pf1bit);
  rtl::TStringStream grey("P2\n2 2\n255\n1 2 3 4\n");
  g.LoadFromStream(grey);
  EXPECT_EQ(g.PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(g.Width(), 2);
  EXPECT_EQ(g.ScanLine(1)[1], 4);
}

TEST(TPPMGraphic, ImageStartsAtTheStreamPosition) {
  rtl::TStringStream s("junkP5\n1 1\n255\n\x42"s);
  s.SetPosition(4);
  TPPMGraphic g;
  g.LoadFromStream(s);
  EXPECT_EQ(g.ScanLine(0)[0], 0x42);
}

TEST(TPPMGraphic, ReportsProgressPerRow) {
  struct Note {
    graphics::TProgressStage stage;
    int percent;
    bool redraw;
    graphics::TRect rect;
    std::string message;
  };
  std::vector<Note> notes;
  TPPMGraphic g;
  g.OnProgress = [&](graphics::TGraphic*, graphics::TProgressStage stage, uint8_t percent, bool redraw,
                     const graphics::TRect& r, const std::string& msg) {
    notes.push_back({stage, percent, redraw, r, msg});
  };
  rtl::TStringStream s("P2\n5 4\n255\n1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1\n");
  g.LoadFromStream(s);
  ASSERT_EQ(notes.size(), 6u);
  EXPECT_EQ(notes[0].stage, graphics::psStarting);
  EXPECT_EQ(notes[0].message, "Transfering...");
  EXPECT_EQ(notes[0].rect.Right, 5);
  EXPECT_EQ(notes[0].rect.Bottom, 1);
  for (int y = 0; y < 4; ++y) {
    SCOPED_TRACE(y);
    const Note& n = notes[static_cast<size_t>(1 + y)];
    EXPECT_EQ(n.stage, graphics::psRunning);
    EXPECT_EQ(n.percent, y * 100 / 4);
    EXPECT_TRUE(n.redraw);
    EXPECT_EQ(n.rect.Top, y);
    EXPECT_EQ(n.rect.Bottom, y + 1);
    EXPECT_EQ(n.message, "");
  }
  EXPECT_EQ(notes[5].stage, graphics::psEnding);
  EXPECT_FALSE(notes[5].redraw);
}

// ---------------------------------------------------------------------------
// Files written by netpbm and ImageMagick, decoded as those tools decode them.

// A colour noise picture of the given size as a raw pixel map of maximum
// 65535 (every channel its own noise).
std::string NoisePPM(int width, int height, int seed) {
  return Tool({"convert-im6.q16", "-seed", std::to_string(seed), "-size",
               std::to_string(width) + "x" + std::to_string(height), "xc:", "-fx", "rand()", "-depth", "16",
               "ppm:-"});
}

// Splits a portable map into its header tokens and its raster, for
// rewriting the header with comments.
struct Split {
  std::vector<std::string> tokens;
  std::string raster;
};

Split SplitMap(const std::string& file) {
  Split s;
  size_t i = 0;
  const bool bitmap = file[1] == '1' || file[1] == '4';
  const size_t want = bitmap ? 3 : 4;
  while (s.tokens.size() < want) {
    while (i < file.size() && (isspace(static_cast<unsigned char>(file[i])) || file[i] == '#')) {
      if (file[i] == '#')
        while (i < file.size() && file[i] != '\n') ++i;
      ++i;
    }
    size_t start = i;
    while (i < file.size() && !isspace(static_cast<unsigned char>(file[i]))) ++i;
    s.tokens.push_back(file.substr(start, i - start));
  }
  s.raster = file.substr(i + 1);
  return s;
}

// Comments before, between and after the numbers, with digits in them.
std::string WithComments(const std::string& file) {
  Split s = SplitMap(file);
  std::string h =
      s.tokens[0] + "\n# written 2024-05-01 12:00\n" + s.tokens[1] + " #w 99\n\n# h 77\n" + s.tokens[2];
  if (s.tokens.size() == 4) h += "\n#max 1\n" + s.tokens[3];
  // Plain rasters may hold comments too; raw rasters begin after one byte.
  const bool plain = s.tokens[0] == "P1" || s.tokens[0] == "P2" || s.tokens[0] == "P3";
  return h + "\n" + (plain ? "# raster 5 5 5\n" : "") + s.raster;
}

struct Reference {
  int width = 0, height = 0;
  std::string rgb;  // 8 bits per sample
};

// netpbm: any portable map to a pixel map of maximum 255.
Reference NetpbmDecode(const std::string& file) {
  std::string p6 = Tool({"pamdepth", "255"}, Tool({"ppmtoppm"}, file));
  Split s = SplitMap(p6);
  Reference r;
  r.width = std::stoi(s.tokens[1]);
  r.height = std::stoi(s.tokens[2]);
  r.rgb = s.raster;
  return r;
}

std::string MagickDecode(const std::string& file) {
  return Tool({"convert-im6.q16", "-", "-depth", "8", "rgb:-"}, file);
}

void ExpectSamePixels(const TPPMGraphic& g, const Reference& ref, const std::string& magick, int tolerance) {
  ASSERT_EQ(g.Width(), ref.width);
  ASSERT_EQ(g.Height(), ref.height);
  ASSERT_EQ(ref.rgb.size(), static_cast<size_t>(ref.width) * ref.height * 3);
  ASSERT_EQ(magick.size(), ref.rgb.size());
  int netpbmDiffs = 0, magickDiffs = 0;
  for (int y = 0; y < g.Height(); ++y)
    for (int x = 0; x < g.Width(); ++x) {
      const graphics::TColor c = g.Pixel(x, y);
      const uint8_t ours[3] = {graphics::GetRValue(c), graphics::GetGValue(c), graphics::GetBValue(c)};
      for (int k = 0; k < 3; ++k) {
        const size_t at = (static_cast<size_t>(y) * ref.width + x) * 3 + k;
        if (ours[k] != static_cast<uint8_t>(ref.rgb[at])) ++netpbmDiffs;
        if (std::abs(ours[k] - static_cast<uint8_t>(magick[at])) > tolerance) ++magickDiffs;
      }
    }
  EXPECT_EQ(netpbmDiffs, 0);
  EXPECT_EQ(magickDiffs, 0);
}

struct OracleCase {
  std::string name;
  std::string file;
  uint32_t maxValue;  // asked of the writer
};

std::vector<OracleCase> OracleFiles() {
  std::vector<OracleCase> cases;
  const int widths[] = {1, 7, 9, 37};
  int seed = 1;
  for (int w : widths) {
    const std::string ppm = NoisePPM(w, 5, seed++);
    const std::string pgm = Tool({"ppmtopgm"}, ppm);
    const std::string pbm =
        Tool({"convert-im6.q16", "-", "-colorspace", "gray", "-threshold", "50%", "pbm:-"}, ppm);
    const std::string ws = "w" + std::to_string(w) + " ";
    // Written by netpbm.
    cases.push_back({ws + "netpbm raw pbm", pbm, 1});
    cases.push_back({ws + "netpbm plain pbm", Tool({"pnmtopnm", "-plain"}, pbm), 1});
    for (uint32_t m : {1u, 15u, 255u, 1023u, 65535u}) {
      const std::string ms = std::to_string(m);
      const std::string g = Tool({"pamdepth", ms}, pgm);
      const std::string c = Tool({"pamdepth", ms}, ppm);
      cases.push_back({ws + "netpbm raw pgm max " + ms, g, m});
      cases.push_back({ws + "netpbm plain pgm max " + ms, Tool({"pnmtopnm", "-plain"}, g), m});
      cases.push_back({ws + "netpbm raw ppm max " + ms, c, m});
      cases.push_back({ws + "netpbm plain ppm max " + ms, Tool({"pnmtopnm", "-plain"}, c), m});
    }
    // Written by ImageMagick.
    cases.push_back({ws + "magick raw pbm", Tool({"convert-im6.q16", "-", "pbm:-"}, pbm), 1});
    cases.push_back(
        {ws + "magick plain pbm", Tool({"convert-im6.q16", "-", "-compress", "none", "pbm:-"}, pbm), 1});
    for (int depth : {8, 10, 16}) {
      const std::string d = std::to_string(depth);
      const uint32_t m = (1u << depth) - 1;
      for (const char* compress : {"", "none"}) {
        std::vector<std::string> g{"convert-im6.q16", "-", "-depth", d}, c = g;
        if (*compress) {
          g.insert(g.end(), {"-compress", compress});
          c.insert(c.end(), {"-compress", compress});
        }
        g.push_back("pgm:-");
        c.push_back("ppm:-");
        const std::string kind = *compress ? "plain" : "raw";
        cases.push_back({ws + "magick " + kind + " pgm depth " + d, Tool(g, pgm), m});
        cases.push_back({ws + "magick " + kind + " ppm depth " + d, Tool(c, ppm), m});
      }
    }
  }
  return cases;
}

TEST(TPPMGraphicOracles, DecodesAsNetpbmAndImageMagick) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("pamdepth");
  for (const OracleCase& c : OracleFiles()) {
    for (bool comments : {false, true}) {
      SCOPED_TRACE(c.name + (comments ? " with comments" : ""));
      const std::string file = comments ? WithComments(c.file) : c.file;
      std::unique_ptr<TPPMGraphic> g;
      ASSERT_NO_THROW(g = tk::test::LoadImage<TPPMGraphic>(file));
      // The writers choose the kind and the maximum themselves at times
      // (netpbm writes a grey map of maximum 1 as a bitmap, ImageMagick plain
      // files of depth 10 with maximum 65535): take them from the file.
      const Split header = SplitMap(c.file);
      const char kind = header.tokens[0][1];
      const uint32_t maxValue = header.tokens.size() == 4 ? std::stoul(header.tokens[3]) : 1;
      EXPECT_EQ(g->PixelFormat(), kind == '1' || kind == '4'   ? graphics::pf1bit
                                  : kind == '2' || kind == '5' ? graphics::pf8bit
                                                               : graphics::pf24bit);
      EXPECT_EQ(g->MaxSampleValue(), maxValue);
      // netpbm rounds when it rescales, ImageMagick truncates: one step apart
      // at most, except at maxima of 1 and 255, where both are exact.
      const int tolerance = maxValue == 1 || maxValue == 255 ? 0 : 1;
      ExpectSamePixels(*g, NetpbmDecode(file), MagickDecode(file), tolerance);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(TPPMGraphicOracles, EveryTruncatedCopyRaisesTheReadError) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  const std::string ppm = NoisePPM(9, 4, 42);
  const std::vector<std::string> files = {ppm, Tool({"pnmtopnm", "-plain"}, ppm),
                                          Tool({"pamdepth", "1023"}, ppm),
                                          Tool({"convert-im6.q16", "-", "-threshold", "50%", "pbm:-"}, ppm)};
  for (const std::string& f : files) {
    SCOPED_TRACE(f.substr(0, 2));
    ASSERT_EQ(tk::test::LoadError<TPPMGraphic>(f), "loaded");
    // Every cut loses data: raw files anywhere, plain files before their
    // last number (a cut inside it leaves a shorter, valid number).
    size_t end = f.size();
    if (f[1] <= '3') {
      while (end > 0 && isspace(static_cast<unsigned char>(f[end - 1]))) --end;
      while (end > 0 && !isspace(static_cast<unsigned char>(f[end - 1]))) --end;
    }
    for (size_t n = 0; n < end; n += (n < 40 ? 1 : 7)) {
      EXPECT_EQ(tk::test::LoadError<TPPMGraphic>(f.substr(0, n)), kReadError) << "cut at " << n;
    }
  }
}

}  // namespace
}  // namespace imaging
