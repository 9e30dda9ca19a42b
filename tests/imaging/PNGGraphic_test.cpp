#include "imaging/PNGGraphic.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace tk::test;
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Files made here: chunks with their CRCs computed, image data deflated.

void Put32(std::string& s, uint32_t v) {
  for (int i = 3; i >= 0; --i) s += static_cast<char>(v >> (8 * i) & 0xFF);
}

std::string Chunk(const std::string& type, const std::string& data) {
  std::string c;
  Put32(c, static_cast<uint32_t>(data.size()));
  const std::string body = type + data;
  c += body;
  Put32(c, static_cast<uint32_t>(
               crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
  return c;
}

std::string Header(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType,
                   uint8_t interlace = 0) {
  std::string h;
  Put32(h, width);
  Put32(h, height);
  h += static_cast<char>(depth);
  h += static_cast<char>(colourType);
  h += std::string(2, '\0');
  h += static_cast<char>(interlace);
  return h;
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

// A file of the given chunks between IHDR and IEND.
std::string PNGFile(const std::string& ihdr, const std::string& middle) {
  return kSignature + Chunk("IHDR", ihdr) + middle + Chunk("IEND", "");
}

// 2 x 2 RGB: red, green / blue, white; rows filtered None and Sub.
const std::string kRGBRows(
    "\x00\xFF\x00\x00\x00\xFF\x00"
    "\x01\x00\x00\xFF\xFF\xFF\x00",
    14);

std::string SmallRGB(const std::string& before = "", const std::string& idatType = "IDAT") {
  return PNGFile(Header(2, 2, 8, 2), before + Chunk(idatType, Deflated(kRGBRows)));
}

TEST(TPNGGraphic, SmallRGBLoadsAsBlueGreenRed) {
  const auto g = LoadImage<TPNGGraphic>(SmallRGB());
  EXPECT_EQ(g->PixelFormat(), graphics::pf24bit);
  const uint8_t* row0 = g->ScanLine(0);
  EXPECT_EQ(std::vector<uint8_t>(row0, row0 + 6), (std::vector<uint8_t>{0, 0, 255, 0, 255, 0}));
  const TRgbImage rgb = PixelsOf(*g);
  EXPECT_EQ(rgb.rgb, (std::vector<uint8_t>{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}));
}

TEST(TPNGGraphic, ChunkHandling) {
  // Chunk types compare without regard to case, unknown ancillary chunks
  // are stepped over, and the image data may come in any number of pieces.
  EXPECT_EQ(LoadError<TPNGGraphic>(SmallRGB("", "idat")), "loaded");
  EXPECT_EQ(LoadError<TPNGGraphic>(SmallRGB(Chunk("teSt", "whatever"))), "loaded");
  const std::string data = Deflated(kRGBRows);
  std::string pieces;
  for (char c : data) pieces += Chunk("IDAT", std::string(1, c)) + Chunk("IDAT", "");
  EXPECT_EQ(PixelsOf(*LoadImage<TPNGGraphic>(PNGFile(Header(2, 2, 8, 2), pieces))).rgb,
            PixelsOf(*LoadImage<TPNGGraphic>(SmallRGB())).rgb);
}

TEST(TPNGGraphic, NothingButPaddingAfterTheImageDataLoads) {
  // Bytes after the end of the compressed stream and empty image data
  // chunks hold no pixels; other readers load such files as they are.
  const std::string data = Deflated(kRGBRows);
  const std::string text = Chunk("tEXt", std::string("a\0b", 3));
  const struct {
    const char* name;
    std::string middle;
  } cases[] = {
      {"padding in the chunk", Chunk("IDAT", data + std::string(4, '\0'))},
      {"padding in a chunk of its own", Chunk("IDAT", data) + Chunk("IDAT", std::string(3, '\0'))},
      {"empty chunk after another chunk", Chunk("IDAT", data) + text + Chunk("IDAT", "")},
  };
  const std::vector<uint8_t> expected = PixelsOf(*LoadImage<TPNGGraphic>(SmallRGB())).rgb;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PixelsOf(*LoadImage<TPNGGraphic>(PNGFile(Header(2, 2, 8, 2), c.middle))).rgb, expected);
  }
  // A second run of data after another chunk could be another image.
  EXPECT_EQ(
      LoadError<TPNGGraphic>(PNGFile(Header(2, 2, 8, 2), Chunk("IDAT", data) + text + Chunk("IDAT", data))),
      "EInvalidGraphic: Cannot load image. Extra compressed data found in PNG file.");
}

TEST(TPNGGraphic, DamagedFilesRaiseTheirMessages) {
  const std::string good = SmallRGB();
  std::string badCRC = good;
  badCRC[good.find("IDAT") + 6] ^= 1;
  std::string hugeChunk = SmallRGB(Chunk("teXt", "abc"));
  hugeChunk.replace(hugeChunk.find("teXt") - 4, 4, std::string("\x7F\xFF\xFF\xF0", 4));
  std::string badFilter = kRGBRows;
  badFilter[7] = 5;
  const std::string palette = Chunk("PLTE", std::string(6, '\x10'));
  const std::string indexRows("\x00\x01\x00\x00", 4);
  const struct {
    const char* name;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"one bit of IDAT flipped", badCRC, "EInvalidGraphic: Cannot load image. CRC error found in PNG file."},
      {"PLTE of 10 bytes", SmallRGB(Chunk("PLTE", std::string(10, '\0'))),
       "EInvalidGraphic: Cannot load image. Palette in PNG file is invalid."},
      {"unknown critical chunk", SmallRGB(Chunk("CRIT", "")),
       "EInvalidGraphic: Cannot load PNG image. Unexpected but critical chunk detected."},
      {"chunk length past the end", hugeChunk, "EInvalidGraphic: Stream read error in PNG file."},
      {"filter type 5", PNGFile(Header(2, 2, 8, 2), Chunk("IDAT", Deflated(badFilter))),
       "EInvalidGraphic: Cannot load image. Compression error found in PNG file."},
      {"image data one row short",
       PNGFile(Header(2, 2, 8, 2), Chunk("IDAT", Deflated(kRGBRows.substr(0, 7)))),
       "EInvalidGraphic: Cannot load image. Extra compressed data found in PNG file."},
      {"compressed data cut short",
       PNGFile(Header(2, 2, 8, 2), Chunk("IDAT", Deflated(kRGBRows).substr(0, 8))),
       "EInvalidGraphic: Cannot load image. Compression error found in PNG file."},
      {"no image data", PNGFile(Header(2, 2, 8, 2), ""),
       "EInvalidGraphic: Cannot load image. Invalid or unexpected PNG image format."},
      {"palette image without PLTE", PNGFile(Header(2, 2, 1, 3), Chunk("IDAT", Deflated(indexRows))),
       "EInvalidGraphic: Cannot load image. Palette in PNG file is invalid."},
      {"empty PLTE", PNGFile(Header(2, 2, 1, 3), Chunk("PLTE", "") + Chunk("IDAT", Deflated(indexRows))),
       "EInvalidGraphic: Cannot load image. Palette in PNG file is invalid."},
      {"bit depth 16 palette", PNGFile(Header(2, 2, 16, 3), palette + Chunk("IDAT", Deflated(indexRows))),
       "EInvalidGraphic: Invalid color format in PNG file."},
      {"compression method 1",
       kSignature + Chunk("IHDR", Header(2, 2, 8, 2).replace(10, 1, "\x01")) +
           Chunk("IDAT", Deflated(kRGBRows)) + Chunk("IEND", ""),
       "EInvalidGraphic: Cannot load image. The compression scheme is not supported for PNG files."},
      {"IHDR of 12 bytes", kSignature + Chunk("IHDR", Header(2, 2, 8, 2).substr(0, 12)),
       "EInvalidGraphic: Cannot load image. Invalid or unexpected PNG image format."},
      // 60000 x 60000 pixels promised by a few bytes of data: refused
      // before any pixel memory is asked for.
      {"bomb-60000", PNGFile(Header(60000, 60000, 8, 0), Chunk("IDAT", Deflated(std::string(100, '\0')))),
       "EInvalidGraphic: Stream read error in PNG file."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LoadError<TPNGGraphic>(c.bytes), c.error);
  }
}

TEST(TPNGGraphic, AncillaryChunksTooShortAreIgnored) {
  const auto g =
      LoadImage<TPNGGraphic>(SmallRGB(Chunk("tRNS", "\x01") + Chunk("bKGD", "") + Chunk("gAMA", "")));
  EXPECT_FALSE(g->Transparent);
  EXPECT_EQ(PixelsOf(*g).rgb, PixelsOf(*LoadImage<TPNGGraphic>(SmallRGB())).rgb);
}

TEST(TPNGGraphic, TruncatedCopiesRaise) {
  ExpectCutCopies<TPNGGraphic>(SmallRGB(Chunk("tEXt", "a\0b")), TCutPolicy::kRaises);
}

// ---------------------------------------------------------------------------
// The suite of test images against netpbm.

fs::path Suite() {
  return tk::test::CorpusDir() / "images" / "pngsuite" / "png";
}

// A P5 or P6 file of any maximum value, as 8-bit RGB the way the reader
// shows it: wide samples truncated to 8 bits, narrow ones stretched, then
// the file's gamma for a 2.2 display when it has one.
TRgbImage NetpbmPixels(const std::string& pnm, double gamma) {
  TRgbImage image;
  size_t at = 2;
  auto number = [&] {
    while (at < pnm.size() && (pnm[at] < '0' || pnm[at] > '9')) {
      if (pnm[at] == '#')
        while (at < pnm.size() && pnm[at] != '\n') ++at;
      ++at;
    }
    uint32_t v = 0;
    while (at < pnm.size() && pnm[at] >= '0' && pnm[at] <= '9')
      v = v * 10 + static_cast<uint32_t>(pnm[at++] - '0');
    return v;
  };
  const bool colour = pnm.compare(0, 2, "P6") == 0;
  image.width = static_cast<int>(number());
  image.height = static_cast<int>(number());
  if (pnm.compare(0, 2, "P4") == 0) {  // bits, 1 black, rows padded to bytes
    ++at;
    const size_t rowBytes = (static_cast<size_t>(image.width) + 7) / 8;
    for (size_t y = 0; y < static_cast<size_t>(image.height); ++y)
      for (size_t x = 0; x < static_cast<size_t>(image.width); ++x) {
        const bool black = static_cast<uint8_t>(pnm.at(at + y * rowBytes + x / 8)) >> (7 - x % 8) & 1;
        image.rgb.insert(image.rgb.end(), 3, black ? 0 : 255);
      }
    return image;
  }
  const uint32_t maxValue = number();
  ++at;
  const size_t samples =
      static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * (colour ? 3 : 1);
  const size_t bytes = maxValue > 255 ? 2 : 1;
  for (size_t i = 0; i < samples && at + bytes <= pnm.size(); ++i, at += bytes) {
    uint32_t v = static_cast<uint8_t>(pnm[at]);
    if (bytes == 2) v = v << 8 | static_cast<uint8_t>(pnm[at + 1]);
    v = bytes == 2 ? v * 255 / 65535 : v * 255 / maxValue;
    if (gamma > 0) v = static_cast<uint32_t>(std::lround(std::pow(v / 255.0, 1 / (gamma * 2.2)) * 255));
    for (size_t k = 0; k < (colour ? 1u : 3u); ++k) image.rgb.push_back(static_cast<uint8_t>(v));
  }
  return image;
}

TEST(TPNGGraphic, SuiteDecodesAsNetpbmDoes) {
  TK_REQUIRE_CORPUS();
  TK_REQUIRE_TOOL("pngtopnm");
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(Suite())) {
    const std::string name = entry.path().filename().string();
    if (name[0] == 'x') continue;
    SCOPED_TRACE(name);
    const std::string bytes = tk::test::ReadFileBytes(entry.path());
    std::unique_ptr<TPNGGraphic> g;
    ASSERT_NO_THROW(g = LoadImage<TPNGGraphic>(bytes));
    const double gamma = (g->ImageProperties.Flags & pfGammaCorrected) ? g->ImageProperties.Gamma : 0;
    tk::test::ToolResult pnm = tk::test::RunTool({"pngtopnm", entry.path().string()});
    ASSERT_EQ(pnm.exitCode, 0) << pnm.err;
    // netpbm cuts samples down to their significant bits (sBIT); the
    // reader keeps them whole, as ImageMagick does (told not to apply
    // the gamma itself).
    if (pnm.err.find("significant bits") != std::string::npos)
      pnm = tk::test::RunTool(
          {"convert-im6.q16", entry.path().string(), "-set", "colorspace", "sRGB", "-depth", "16", "ppm:-"});
    ExpectSamePixels(PixelsOf(*g), NetpbmPixels(pnm.out, gamma), 1);
    // Colour with alpha keeps its alpha in the bitmap's fourth byte.
    if (g->ImageProperties.ColorModel == cmRGBA) {
      const TRgbImage alpha =
          NetpbmPixels(tk::test::RunTool({"pngtopnm", "-alpha", entry.path().string()}).out, 0);
      for (int y = 0; y < g->Height(); ++y)
        for (int x = 0; x < g->Width(); ++x)
          ASSERT_EQ(g->ScanLine(y)[4 * x + 3], alpha.rgb[3 * static_cast<size_t>(y * g->Width() + x)])
              << "alpha at " << x << ", " << y;
    }
    ++checked;
  }
  EXPECT_GT(checked, 150);
}

TEST(TPNGGraphic, SuiteBrokenFilesRaise) {
  TK_REQUIRE_CORPUS();
  for (const auto& entry : fs::directory_iterator(Suite())) {
    const std::string name = entry.path().filename().string();
    if (name[0] != 'x') continue;
    SCOPED_TRACE(name);
    EXPECT_THROW(LoadImage<TPNGGraphic>(tk::test::ReadFileBytes(entry.path())), graphics::EInvalidGraphic);
  }
}

TEST(TPNGGraphic, SuiteFilesCutShortRaise) {
  TK_REQUIRE_CORPUS();
  // Plain and interlaced, split image data, 16-bit samples, a palette.
  for (const char* name : {"basn2c16.png", "basi0g16.png", "oi9n2c16.png", "basi3p02.png", "s01i3p01.png"}) {
    SCOPED_TRACE(name);
    ExpectCutCopies<TPNGGraphic>(tk::test::ReadFileBytes(Suite() / name), TCutPolicy::kRaises);
  }
}

TEST(TPNGGraphic, SuiteDepthsAndTransparency) {
  TK_REQUIRE_CORPUS();
  auto load = [](const char* name) {
    return LoadImage<TPNGGraphic>(tk::test::ReadFileBytes(Suite() / name));
  };
  EXPECT_EQ(load("basn0g16.png")->PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(load("basn0g02.png")->PixelFormat(), graphics::pf4bit);
  EXPECT_EQ(load("basn4a08.png")->PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(load("basn6a16.png")->PixelFormat(), graphics::pf32bit);
  // The transparent grey of a 4-bit image is the colour its pixels show.
  const auto t = load("tbbn0g04.png");
  ASSERT_TRUE(t->Transparent);
  bool found = false;
  for (int y = 0; y < t->Height() && !found; ++y)
    for (int x = 0; x < t->Width() && !found; ++x) found = t->Pixel(x, y) == t->TransparentColor;
  EXPECT_TRUE(found) << std::hex << t->TransparentColor;
}

}  // namespace
}  // namespace imaging
