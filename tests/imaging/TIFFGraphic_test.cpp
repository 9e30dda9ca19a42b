#include "imaging/TIFFGraphic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "imaging/EPSGraphic.h"
#include "support/ImageReaders.h"
#include "support/TiffStrips.h"

namespace imaging {
namespace {

using namespace tk::test;
namespace fs = std::filesystem;

const std::string kInvalid =
    "EInvalidGraphic: Cannot load image. Invalid or unexpected TIF/TIFF image format.";
const std::string kReadError = "EInvalidGraphic: Stream read error in TIF/TIFF file.";
const std::string kColourError = "EInvalidGraphic: Invalid color format in TIF/TIFF file.";
const std::string kNoCompression =
    "EInvalidGraphic: Cannot load image. The compression scheme is not supported for TIF/TIFF files.";

// A TIFF made by the oracle tools: ImageMagick writes the pixels in the
// wanted layout, tiffcp then recompresses or restrips them when asked.
std::string OracleTiff(const tk::test::ScratchDir& dir, const std::vector<std::string>& magick,
                       const std::vector<std::string>& tiffcp = {}) {
  const fs::path source = dir / "noise.ppm";
  if (!fs::exists(source)) tk::test::WriteFileBytes(source, tk::test::NoisePicture(13, 9, 7));
  std::vector<std::string> argv{"convert-im6.q16", source.string()};
  argv.insert(argv.end(), magick.begin(), magick.end());
  argv.push_back((dir / "made.tif").string());
  tk::test::Tool(argv);
  if (tiffcp.empty()) return tk::test::ReadFileBytes(dir / "made.tif");
  std::vector<std::string> cp{"tiffcp"};
  cp.insert(cp.end(), tiffcp.begin(), tiffcp.end());
  cp.push_back((dir / "made.tif").string());
  cp.push_back((dir / "copied.tif").string());
  fs::remove(dir / "copied.tif");
  tk::test::Tool(cp);
  return tk::test::ReadFileBytes(dir / "copied.tif");
}

// What the oracle makes of the same bytes.
TRgbImage OraclePixels(const tk::test::ScratchDir& dir, const std::string& tiff) {
  tk::test::WriteFileBytes(dir / "check.tif", tiff);
  return ImageMagickPixels((dir / "check.tif").string());
}

TEST(TTIFFGraphic, LayoutsAndCompressionsAgainstTheOracle) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("tiffcp");
  tk::test::ScratchDir dir;
  const std::vector<std::string> rgb{"-type", "TrueColor", "-depth", "8"};
  const std::vector<std::string> grey{"-colorspace", "Gray", "-type", "Grayscale", "-depth", "8"};
  const std::vector<std::string> bilevel{"-colorspace", "Gray",    "-threshold", "50%",
                                         "-type",       "Bilevel", "-depth",     "1"};
  const struct {
    const char* name;
    std::vector<std::string> magick;
    std::vector<std::string> tiffcp;
    int tolerance;
  } cases[] = {
      {"rgb-none", rgb, {"-c", "none"}, 0},
      {"rgb-big-endian", rgb, {"-c", "none", "-B"}, 0},
      {"rgb-packbits-strips-of-2", rgb, {"-c", "packbits", "-r", "2"}, 0},
      {"rgb-zip", rgb, {"-c", "zip"}, 0},
      {"rgb-zip-predictor-odd-width", rgb, {"-c", "zip:2", "-r", "4"}, 0},
      {"rgb-separate-planes", rgb, {"-c", "none", "-p", "separate", "-r", "4"}, 0},
      {"rgb-separate-planes-zip-predictor", rgb, {"-c", "zip:2", "-p", "separate"}, 0},
      {"rgb-jpeg", rgb, {"-c", "jpeg", "-r", "16"}, 3},
      {"rgb-jpeg-separate-planes", rgb, {"-c", "jpeg:r", "-p", "separate", "-r", "16"}, 0},
      {"rgba", {"-alpha", "set", "-channel", "A", "-fx", "0.5", "-depth", "8"}, {"-c", "none"}, 1},
      {"rgb-16", {"-type", "TrueColor", "-depth", "16"}, {"-c", "zip:2", "-B"}, 1},
      {"rgb-16-little-endian", {"-type", "TrueColor", "-depth", "16"}, {"-c", "zip:2", "-L"}, 1},
      {"cmyk", {"-colorspace", "CMYK", "-depth", "8"}, {"-c", "none"}, 2},
      {"grey-8", grey, {"-c", "packbits"}, 0},
      {"grey-8-jpeg", grey, {"-c", "jpeg"}, 3},
      {"grey-16", {"-colorspace", "Gray", "-type", "Grayscale", "-depth", "16"}, {"-c", "none", "-B"}, 1},
      {"grey-4", {"-colorspace", "Gray", "-type", "Grayscale", "-depth", "4"}, {}, 0},
      {"grey-2", {"-colorspace", "Gray", "-type", "Grayscale", "-depth", "2"}, {}, 0},
      {"grey-min-is-white", grey, {}, 0},
      {"palette-8", {"-type", "Palette", "-colors", "40"}, {"-c", "packbits"}, 0},
      {"palette-4", {"-type", "Palette", "-colors", "12", "-depth", "4"}, {}, 0},
      {"palette-2", {"-type", "Palette", "-colors", "4", "-depth", "2"}, {}, 0},
      {"bilevel-none", bilevel, {"-c", "none"}, 0},
      {"bilevel-g3", bilevel, {"-c", "g3"}, 0},
      {"bilevel-g3-2d", bilevel, {"-c", "g3:2d"}, 0},
      {"bilevel-g3-fill-order-2", bilevel, {"-c", "g3", "-f", "lsb2msb"}, 0},
      {"bilevel-none-fill-order-2", bilevel, {"-c", "none", "-f", "lsb2msb"}, 0},
      {"bilevel-packbits-big-endian", bilevel, {"-c", "packbits", "-B"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> magick = c.magick;
    if (std::string(c.name) == "grey-min-is-white")
      magick.insert(magick.end(), {"-define", "tiff:photometric=min-is-white"});
    const std::string tiff = OracleTiff(dir, magick, c.tiffcp);
    const auto g = LoadImage<TTIFFGraphic>(tiff);
    ExpectSamePixels(PixelsOf(*g), OraclePixels(dir, tiff), c.tolerance);
    // The directory comes last: a cut there may only lose values the
    // reader does not use.
    tk::test::ExpectCutCopies<TTIFFGraphic>(tiff, tk::test::TCutPolicy::kRaisesOrLoadsWhole);
  }
  // YCbCr planes under JPEG come with chroma planes at half size, which
  // neither we nor the oracle read: refused with a reason.
  EXPECT_EQ(
      tk::test::LoadError<TTIFFGraphic>(OracleTiff(dir, rgb, {"-c", "jpeg", "-p", "separate", "-r", "16"})),
      "EInvalidGraphic: Cannot load image. Subsampled YCbCr in separate planes is not supported for TIF/TIFF "
      "files.");
}

TEST(TTIFFGraphic, PropertiesOfTheDirectory) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("tiffcp");
  tk::test::ScratchDir dir;
  const std::string tiff = OracleTiff(
      dir, {"-colorspace", "Gray", "-depth", "16", "-density", "100", "-units", "PixelsPerCentimeter"},
      {"-c", "none", "-B", "-r", "4"});
  const auto g = LoadImage<TTIFFGraphic>(tiff);
  const TImageProperties& p = g->ImageProperties;
  EXPECT_EQ(p.FormatVersion, 42u);
  EXPECT_TRUE(p.Flags & pfMotorolaOrder);
  EXPECT_EQ(p.Width, 13u);
  EXPECT_EQ(p.Height, 9u);
  EXPECT_EQ(p.BitsPerSample, 16);
  EXPECT_EQ(p.ColorModel, cmGray);
  EXPECT_EQ(p.RowsPerStrip, TCardinalArray{4});
  EXPECT_EQ(p.StripCount, 3);
  EXPECT_NEAR(p.XResolution, 254.0f, 0.01f);
  EXPECT_EQ(g->PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(FileFormats().FindClassByStream(*std::make_unique<rtl::TStringStream>(tiff)),
            TTIFFGraphic::StaticClass());
}

// A small TIFF put together here: little-endian, one 8-bit grey strip
// unless the entries say otherwise. Entries: tag, type, values.
struct TEntry {
  uint16_t tag;
  uint16_t type;
  std::vector<uint32_t> values;
};

void PutLE(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i) & 0xFF);
}

// Pixels at offset 8, then the values that do not fit their entry, then
// the directory; its next offset is nextIFD.
std::string HandTiff(std::vector<TEntry> entries, const std::string& pixels, uint32_t nextIFD = 0) {
  std::string f = "II";
  PutLE(f, 42, 2);
  PutLE(f, 0, 4);
  f += pixels;
  std::sort(entries.begin(), entries.end(), [](const TEntry& a, const TEntry& b) { return a.tag < b.tag; });
  std::map<size_t, uint32_t> offsetOf;
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t size = entries[i].type == 3 ? 2 : entries[i].type == 4 ? 4 : entries[i].type == 5 ? 8 : 1;
    if (size * entries[i].values.size() <= 4) continue;
    offsetOf[i] = static_cast<uint32_t>(f.size());
    for (uint32_t v : entries[i].values) {
      if (entries[i].type == 5) {
        PutLE(f, v, 4);
        PutLE(f, 1, 4);
      } else {
        PutLE(f, v, static_cast<int>(size));
      }
    }
  }
  const auto ifd = static_cast<uint32_t>(f.size());
  f.replace(4, 4,
            std::string{static_cast<char>(ifd), static_cast<char>(ifd >> 8), static_cast<char>(ifd >> 16),
                        static_cast<char>(ifd >> 24)});
  PutLE(f, static_cast<uint32_t>(entries.size()), 2);
  for (size_t i = 0; i < entries.size(); ++i) {
    const TEntry& e = entries[i];
    PutLE(f, e.tag, 2);
    PutLE(f, e.type, 2);
    PutLE(f, static_cast<uint32_t>(e.values.size()), 4);
    if (offsetOf.count(i)) {
      PutLE(f, offsetOf[i], 4);
      continue;
    }
    std::string field;
    const int size = e.type == 3 ? 2 : e.type == 4 ? 4 : 1;
    for (uint32_t v : e.values) PutLE(field, v, size);
    field.resize(4, '\0');
    f += field;
  }
  PutLE(f, nextIFD, 4);
  return f;
}

std::vector<TEntry> GreyEntries(uint32_t width, uint32_t height) {
  return {{256, 3, {width}}, {257, 3, {height}},        {258, 3, {8}}, {262, 3, {1}}, {259, 3, {1}},
          {273, 4, {8}},     {279, 4, {width * height}}};
}

std::vector<TEntry> With(std::vector<TEntry> entries, const TEntry& replacement) {
  for (TEntry& e : entries)
    if (e.tag == replacement.tag) {
      e = replacement;
      return entries;
    }
  entries.push_back(replacement);
  return entries;
}

// CIE Lab pictures at 8 and 16 bits: L* over the full range, a* and b*
// signed.
TEST(TTIFFGraphic, LabAgainstImageMagick) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  tk::test::ScratchDir dir;
  for (const uint32_t bits : {8u, 16u}) {
    for (const TLabRow& row : LabRows()) {
      SCOPED_TRACE(std::to_string(bits) + "-bit " + row.name);
      const auto width = static_cast<uint32_t>(row.pixels.size());
      const double top = bits == 8 ? 255 : 65535, unit = bits == 8 ? 1 : 256;
      std::string pixels;
      for (const auto& lab : row.pixels) {
        PutLE(pixels, static_cast<uint32_t>(std::lround(lab[0] / 100 * top)), static_cast<int>(bits / 8));
        for (size_t c = 1; c < 3; ++c)
          PutLE(pixels, static_cast<uint32_t>(static_cast<int32_t>(std::lround(lab[c] * unit))),
                static_cast<int>(bits / 8));
      }
      const std::string tiff =
          HandTiff(With(With(With(With(GreyEntries(width, 1), {262, 3, {8}}), {277, 3, {3}}),
                             {258, 3, {bits, bits, bits}}),
                        {279, 4, {static_cast<uint32_t>(pixels.size())}}),
                   pixels);
      ExpectSamePixels(PixelsOf(*LoadImage<TTIFFGraphic>(tiff)), OraclePixels(dir, tiff), row.tolerance);
    }
  }
}

TEST(TTIFFGraphic, HandMadeFilesLoad) {
  const std::string pixels("\x00\x40\x80\xC0\xFF\x10", 6);
  // Without RowsPerStrip the image is one strip; the byte count may be
  // missing for uncompressed data.
  auto g = LoadImage<TTIFFGraphic>(HandTiff(GreyEntries(3, 2), pixels));
  EXPECT_EQ(g->Pixel(1, 0), graphics::RGB(0x40, 0x40, 0x40));
  EXPECT_EQ(g->Pixel(2, 1), graphics::RGB(0x10, 0x10, 0x10));
  g = LoadImage<TTIFFGraphic>(HandTiff(With(GreyEntries(3, 2), {279, 4, {}}), pixels));
  EXPECT_EQ(g->Pixel(0, 1), graphics::RGB(0xC0, 0xC0, 0xC0));

  // A colormap shorter than the palette: the entries it has, black beyond.
  std::vector<TEntry> indexed =
      With(With(GreyEntries(3, 2), {262, 3, {3}}), {320, 3, {0xFFFF, 0, 0, 0xFFFF, 0, 0}});
  g = LoadImage<TTIFFGraphic>(HandTiff(indexed, std::string("\x00\x01\x05\x00\x01\x00", 6)));
  EXPECT_EQ(g->Pixel(0, 0), graphics::RGB(0xFF, 0x00, 0x00));
  EXPECT_EQ(g->Pixel(1, 0), graphics::RGB(0x00, 0xFF, 0x00));
  EXPECT_EQ(g->Pixel(2, 0), graphics::RGB(0, 0, 0));

  // Uncompressed YCbCr, two by two chroma blocks: a 3 x 2 image is two
  // blocks of four luma samples and Cb, Cr each.
  std::vector<TEntry> ycbcr =
      With(With(With(GreyEntries(3, 2), {262, 3, {6}}), {277, 3, {3}}), {258, 3, {8, 8, 8}});
  ycbcr = With(ycbcr, {279, 4, {12}});
  g = LoadImage<TTIFFGraphic>(
      HandTiff(ycbcr, std::string("\x10\x20\x30\x40\x80\x80\xF0\xF0\xF0\xF0\x80\x80", 12)));
  EXPECT_EQ(g->Pixel(1, 1), graphics::RGB(0x40, 0x40, 0x40));
  EXPECT_EQ(g->Pixel(2, 0), graphics::RGB(0xF0, 0xF0, 0xF0));
}

TEST(TTIFFGraphic, DamagedFilesRaise) {
  const std::string pixels(6, '\x55');
  const std::vector<TEntry> good = GreyEntries(3, 2);
  const std::vector<TEntry> huge = GreyEntries(30000, 30000);
  const std::string tiled =
      "EInvalidGraphic: Cannot load image. Tiled images are not supported for TIF/TIFF files.";
  const struct {
    const char* fault;
    std::string file;
    std::string error;
  } cases[] = {
      {"lzw", HandTiff(With(good, {259, 3, {5}}), pixels), kNoCompression},
      {"group-4", HandTiff(With(good, {259, 3, {4}}), pixels), kNoCompression},
      {"tiled", HandTiff(With(With(good, {322, 3, {16}}), {323, 3, {16}}), pixels), tiled},
      {"no-width", HandTiff(With(good, {256, 3, {0}}), pixels), kInvalid},
      {"version-43",
       [&] {
         std::string f = HandTiff(good, pixels);
         f[2] = 43;
         return f;
       }(),
       kInvalid},
      {"directory-beyond-the-file",
       [&] {
         std::string f = HandTiff(good, pixels);
         f[7] = 0x7F;
         return f;
       }(),
       kReadError},
      {"strip-beyond-the-file", HandTiff(With(good, {273, 4, {0x7FFFFFF0}}), pixels), kReadError},
      {"no-strip-offsets", HandTiff(With(good, {273, 4, {}}), pixels), kInvalid},
      {"too-few-strips", HandTiff(With(good, {278, 3, {1}}), pixels), kReadError},
      {"rows-per-strip-0", HandTiff(With(good, {278, 3, {0}}), pixels), kInvalid},
      {"packbits-without-byte-counts", HandTiff(With(With(good, {259, 3, {32773}}), {279, 4, {}}), pixels),
       kInvalid},
      {"packbits-byte-count-beyond-the-file",
       HandTiff(With(With(good, {259, 3, {32773}}), {279, 4, {0xFFFFFFF0}}), pixels), kReadError},
      {"packbits-short-data",
       HandTiff(With(With(good, {259, 3, {32773}}), {279, 4, {2}}), std::string("\x00\x01", 2)),
       "EInvalidGraphic: Cannot load image. Compression error found in TIF/TIFF file."},
      {"values-beyond-the-file",
       HandTiff(With(good, {258, 3, {8, 8, 8}}), pixels).substr(0, 20) + std::string(100, '\0'), kInvalid},
      {"bits-per-sample-264", HandTiff(With(good, {258, 3, {264}}), pixels), kColourError},
      {"bits-per-sample-3", HandTiff(With(good, {258, 3, {3}}), pixels), kColourError},
      {"samples-per-pixel-259", HandTiff(With(With(good, {262, 3, {2}}), {277, 3, {259}}), pixels),
       kColourError},
      {"rgb-of-one-sample", HandTiff(With(good, {262, 3, {2}}), pixels), kColourError},
      {"differing-bits",
       HandTiff(With(With(With(good, {262, 3, {2}}), {277, 3, {3}}), {258, 3, {8, 16, 8}}), pixels),
       kColourError},
      {"palette-without-colormap", HandTiff(With(good, {262, 3, {3}}), pixels),
       "EInvalidGraphic: Cannot load image. Palette in TIF/TIFF file is invalid."},
      {"palette-of-16-bits", HandTiff(With(With(good, {262, 3, {3}}), {258, 3, {16}}), pixels), kColourError},
      {"fax-of-8-bits", HandTiff(With(good, {259, 3, {3}}), pixels), kColourError},
      {"floating-point-predictor", HandTiff(With(With(good, {259, 3, {8}}), {317, 3, {3}}), pixels),
       "EInvalidGraphic: Cannot load image. The predictor is not supported for TIF/TIFF files."},
      {"unknown-photometric", HandTiff(With(good, {262, 3, {4}}), pixels), kColourError},
      // 30000 x 30000 pixels from a few bytes: refused before any pixel
      // memory is asked for, whatever the scheme.
      {"bomb-30000-deflate", HandTiff(With(With(huge, {259, 3, {8}}), {279, 4, {4}}), std::string(4, 'x')),
       kReadError},
      {"bomb-30000-jpeg", HandTiff(With(With(huge, {259, 3, {7}}), {279, 4, {4}}), std::string(4, 'x')),
       kReadError},
      {"bomb-30000-g3",
       HandTiff(With(With(With(huge, {258, 3, {1}}), {259, 3, {3}}), {279, 4, {4}}), std::string(4, 'x')),
       kReadError},
      {"bomb-30000-plain", HandTiff(huge, std::string(4, 'x')), kReadError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(LoadError<TTIFFGraphic>(c.file), c.error);
  }
}

TEST(TTIFFGraphic, DirectoryChain) {
  // Two directories; the second points back to the first.
  std::string f = HandTiff(GreyEntries(3, 2), std::string(6, '\x11'));
  const auto first = static_cast<uint32_t>(static_cast<uint8_t>(f[4]) | static_cast<uint8_t>(f[5]) << 8);
  const size_t second = f.size();
  std::string tail;
  PutLE(tail, 1, 2);
  PutLE(tail, 256, 2);
  PutLE(tail, 3, 2);
  PutLE(tail, 1, 4);
  PutLE(tail, 5, 4);
  PutLE(tail, first, 4);
  f += tail;
  f.replace(f.size() - tail.size() - 4, 4,
            std::string{static_cast<char>(second), static_cast<char>(second >> 8), 0, 0});

  TTIFFGraphic g;
  rtl::TStringStream s(f);
  EXPECT_TRUE(g.ReadProperties(s, 0));
  EXPECT_EQ(g.ImageProperties.Width, 3u);
  s.SetPosition(0);
  EXPECT_FALSE(g.ReadProperties(s, 1));  // no height
  EXPECT_EQ(g.ImageProperties.Width, 5u);
  s.SetPosition(0);
  EXPECT_FALSE(g.ReadProperties(s, 2));  // back at the first: a loop, not an image
  s.SetPosition(0);
  EXPECT_FALSE(g.ReadProperties(s, 1000000));
  EXPECT_NE(LoadImage<TTIFFGraphic>(f), nullptr);
}

TEST(TTIFFGraphic, BigEndianShortsInTheValueField) {
  // YCbCr subsampling 2, 1 as two shorts in the field of a big-endian file.
  TTIFFGraphic g;
  std::string f = "MM";
  f += std::string("\x00\x2A\x00\x00\x00\x08", 6);
  auto put = [&](uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) f += static_cast<char>(v >> (8 * i) & 0xFF);
  };
  put(4, 2);
  const uint32_t entries[][4] = {
      {256, 3, 1, 4u << 16}, {257, 3, 1, 2u << 16}, {262, 3, 1, 6u << 16}, {530, 3, 2, 0x00020001}};
  for (const auto& e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(e[2], 4);
    put(e[3], 4);
  }
  put(0, 4);
  rtl::TStringStream s(f);
  ASSERT_TRUE(g.ReadProperties(s, 0));
  EXPECT_EQ(g.ImageProperties.YCbCrSubSampling, (TByteArray{2, 1}));
  EXPECT_EQ(g.ImageProperties.Width, 4u);
}

TEST(TTIFFGraphic, CutJPEGStripWarnsAndLoads) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("tiffcp");
  tk::test::ScratchDir dir;
  std::string tiff = OracleTiff(dir, {"-type", "TrueColor", "-depth", "8"}, {"-c", "jpeg"});
  const tk::test::TiffStrips strips = tk::test::ReadTiffStrips(tiff);
  ASSERT_EQ(strips.strips.size(), 1u);
  // Halve the strip's byte count where the directory holds it.
  const uint32_t count = strips.Tag(279);
  const size_t at = tiff.find(std::string{static_cast<char>(count), static_cast<char>(count >> 8), 0, 0}, 8);
  ASSERT_NE(at, std::string::npos);
  tiff[at] = static_cast<char>((count / 2) & 0xFF);
  tiff[at + 1] = static_cast<char>((count / 2) >> 8);
  TTIFFGraphic g;
  std::vector<std::string> warnings;
  g.OnWarning = [&](const std::string& caption, const std::string& message) {
    warnings.push_back(caption + ": " + message);
  };
  rtl::TStringStream s(tiff);
  g.LoadFromStream(s);
  EXPECT_EQ(g.Width(), 13);
  ASSERT_FALSE(warnings.empty());
  EXPECT_EQ(warnings[0], "Warning: JPEG decompression error. Unexpected end of input.");
}

// An EPS file with a binary header and a TIFF preview.
std::string EPSFile(const std::string& tiff, uint32_t tiffOffset, uint32_t tiffLength) {
  std::string f("\xC5\xD0\xD3\xC6", 4);
  PutLE(f, 0, 4);
  PutLE(f, 0, 4);
  PutLE(f, 0, 4);
  PutLE(f, 0, 4);
  PutLE(f, tiffOffset, 4);
  PutLE(f, tiffLength, 4);
  PutLE(f, 0xFFFF, 2);
  f.resize(tiffOffset, '%');
  return f + tiff;
}

TEST(TEPSGraphic, PreviewLoadsFromItsOffset) {
  const std::string tiff = HandTiff(GreyEntries(3, 2), std::string("\x00\x40\x80\xC0\xFF\x10", 6));
  for (const uint32_t at : {30u, 100u}) {
    const std::string eps = EPSFile(tiff, at, static_cast<uint32_t>(tiff.size()));
    rtl::TStringStream s(eps);
    EXPECT_EQ(FileFormats().FindClassByStream(s), TEPSGraphic::StaticClass());
    const auto g = LoadImage<TEPSGraphic>(eps);
    EXPECT_EQ(g->Pixel(1, 0), graphics::RGB(0x40, 0x40, 0x40));
    ExpectCutCopies<TEPSGraphic>(eps, TCutPolicy::kRaises, 4);  // the next directory offset
  }
  rtl::TStringStream empty(EPSFile(tiff, 30, 0));
  EXPECT_FALSE(TEPSGraphic::CanReadStream(empty));
  rtl::TStringStream beyond(
      EPSFile(tiff, 30, 10).substr(0, 40).replace(20, 4, std::string("\x00\x10\x00\x00", 4)));
  EXPECT_FALSE(TEPSGraphic::CanReadStream(beyond));
  std::string wrong = EPSFile(tiff, 30, 10);
  wrong[0] = 'X';
  EXPECT_EQ(LoadError<TEPSGraphic>(wrong),
            "EInvalidGraphic: Cannot load image. Invalid or unexpected EPS image format.");
}

// The pictures of the TIFF corpus: each loads or raises the library's
// error; where tifftopnm decodes a file, the pixels agree.
TEST(TTIFFGraphic, CorpusAgainstTifftopnm) {
  TK_REQUIRE_CORPUS();
  TK_REQUIRE_TOOL("tifftopnm");
  const fs::path folder = tk::test::CorpusDir() / "images" / "libtiff-pictures";
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() != ".tif") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const std::string bytes = tk::test::ReadFileBytes(entry.path());
    std::unique_ptr<TTIFFGraphic> g;
    try {
      g = LoadImage<TTIFFGraphic>(bytes);
    } catch (const graphics::EInvalidGraphic& e) {
      std::cout << entry.path().filename().string() << ": " << e.what() << "\n";
      continue;
    }
    // tifftopnm drops a ThunderScan run that reaches the end of a row and
    // leaves stale bytes of its row buffer there (149 rows of this file end
    // so). The corpus keeps a PNG rendering beside the picture, where those
    // runs go on to the row's end: that is the reference here.
    if (entry.path().filename() == "thunderscan.tif") {
      fs::path rendering = entry.path();
      ExpectSamePixels(PixelsOf(*g), ImageMagickPixels(rendering.replace_extension(".png").string()), 0);
      ++compared;
      continue;
    }
    const tk::test::ToolResult r = tk::test::RunTool(
        {"sh", "-c", "tifftopnm \"$0\" 2>/dev/null | ppmtoppm | pnmdepth 255", entry.path().string()});
    const TRgbImage want = ParsePPM(r.out);
    if (r.exitCode != 0 || want.width == 0) continue;
    ExpectSamePixels(PixelsOf(*g), want,
                     entry.path().filename().string().find("jpeg") != std::string::npos ? 3 : 1);
    ++compared;
  }
  std::cout << compared << " corpus files compared\n";
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace imaging
