#include "imaging/PSDGraphic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace tk::test;
namespace fs = std::filesystem;

void Put(std::string& s, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) s += static_cast<char>(v >> (8 * i) & 0xFF);
}

// A document without resources or layers: its channels raw, or PackBits
// coded a row at a time as literal packets.
struct TPSDDoc {
  uint16_t mode = 3;
  uint16_t depth = 8;
  uint32_t width = 3;
  uint32_t height = 2;
  std::vector<std::string> channels;  // each: height rows of the row's bytes
  bool packBits = false;
  std::string colourData;
  std::string layers;
};

std::string PSDFile(const TPSDDoc& d) {
  std::string f = "8BPS";
  Put(f, 1, 2);
  f += std::string(6, '\0');
  Put(f, static_cast<uint32_t>(d.channels.size()), 2);
  Put(f, d.height, 4);
  Put(f, d.width, 4);
  Put(f, d.depth, 2);
  Put(f, d.mode, 2);
  Put(f, static_cast<uint32_t>(d.colourData.size()), 4);
  f += d.colourData;
  Put(f, 0, 4);
  Put(f, static_cast<uint32_t>(d.layers.size()), 4);
  f += d.layers;
  Put(f, d.packBits ? 1 : 0, 2);
  if (!d.packBits) {
    for (const std::string& c : d.channels) f += c;
    return f;
  }
  std::string counts, data;
  for (const std::string& c : d.channels) {
    const size_t rowBytes = c.size() / d.height;
    for (size_t y = 0; y < d.height; ++y) {
      std::string row;
      for (size_t at = 0; at < rowBytes; at += 128) {
        const size_t n = std::min<size_t>(128, rowBytes - at);
        row += static_cast<char>(n - 1);
        row += c.substr(y * rowBytes + at, n);
      }
      Put(counts, static_cast<uint32_t>(row.size()), 2);
      data += row;
    }
  }
  return f + counts + data;
}

TPSDDoc RGBDoc(bool packBits) {
  TPSDDoc d;
  d.channels = {std::string("\x00\x10\x20\x30\x40\x50", 6), std::string("\xFF\xEE\xDD\xCC\xBB\xAA", 6),
                std::string("\x01\x02\x03\x04\x05\x06", 6)};
  d.packBits = packBits;
  return d;
}

TEST(TPSDGraphic, RawAndPackBitsRGB) {
  for (const bool packBits : {false, true}) {
    SCOPED_TRACE(packBits ? "PackBits" : "raw");
    auto g = LoadImage<TPSDGraphic>(PSDFile(RGBDoc(packBits)));
    EXPECT_EQ(g->PixelFormat(), graphics::pf24bit);
    ASSERT_EQ(g->Width(), 3);
    ASSERT_EQ(g->Height(), 2);
    EXPECT_EQ(g->Pixel(0, 0), graphics::RGB(0x00, 0xFF, 0x01));
    EXPECT_EQ(g->Pixel(2, 1), graphics::RGB(0x50, 0xAA, 0x06));
    EXPECT_EQ(g->ImageProperties.Compression, packBits ? ctPackBits : ctNone);
  }
}

TEST(TPSDGraphic, HeaderTestAndRegistry) {
  const std::string good = PSDFile(RGBDoc(false));
  rtl::TStringStream s(good);
  EXPECT_EQ(FileFormats().FindClassByStream(s), TPSDGraphic::StaticClass());
  EXPECT_EQ(s.Position(), 0);
  // Lower case passes the header test, not the load.
  std::string lower = good;
  lower.replace(0, 4, "8bps");
  rtl::TStringStream l(lower);
  EXPECT_TRUE(TPSDGraphic::CanReadStream(l));
  EXPECT_EQ(LoadError<TPSDGraphic>(lower),
            "EInvalidGraphic: Cannot load image. Invalid or unexpected PSD or PDD image format.");
}

TEST(TPSDGraphic, DamagedFiles) {
  const std::string invalid =
      "EInvalidGraphic: Cannot load image. Invalid or unexpected PSD or PDD image format.";
  const std::string readError = "EInvalidGraphic: Stream read error in PSD or PDD file.";
  const std::string colourError = "EInvalidGraphic: Invalid color format in PSD or PDD file.";
  auto doc = [](auto change) {
    TPSDDoc d = RGBDoc(true);
    change(d);
    return PSDFile(d);
  };
  auto patched = [](std::string f, size_t at, uint32_t v, int bytes) {
    std::string value;
    Put(value, v, bytes);
    return f.replace(at, static_cast<size_t>(bytes), value);
  };
  const std::string good = PSDFile(RGBDoc(true));
  const struct {
    const char* fault;
    std::string file;
    std::string error;
  } cases[] = {
      {"version-2", patched(good, 4, 2, 2), invalid},
      {"rgb-with-two-channels", doc([](TPSDDoc& d) { d.channels.pop_back(); }), colourError},
      {"no-channels", doc([](TPSDDoc& d) { d.channels.clear(); }), colourError},
      {"32-bit-samples", patched(good, 22, 32, 2), colourError},
      {"unknown-mode-5", patched(good, 24, 5, 2), colourError},
      {"indexed-16-bit", doc([](TPSDDoc& d) {
         d.mode = 2;
         d.depth = 16;
         d.channels.resize(1);
       }),
       colourError},
      {"zip-compression", patched(good, 38, 2, 2),
       "EInvalidGraphic: Cannot load image. The compression scheme is not supported for PSD or PDD files."},
      {"colour-data-beyond-the-file", patched(good, 26, 0x7FFFFFFF, 4), readError},
      {"layers-beyond-the-file", patched(good, 34, 0xFFFFFFF0, 4), readError},
      {"row-counts-beyond-the-file", patched(good, 38 + 2 + 4, 0xFFFF, 2), readError},
      // 30000 x 30000 pixels claimed over six rows of data.
      {"bomb-30000x30000", patched(patched(good, 14, 30000, 4), 18, 30000, 4), readError},
      {"raw-bomb-30000x30000", patched(patched(PSDFile(RGBDoc(false)), 14, 30000, 4), 18, 30000, 4),
       readError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(LoadError<TPSDGraphic>(c.file), c.error);
  }
}

TEST(TPSDGraphic, LayersAreSkippedAndIndexOutsideTheMapIsBlack) {
  TPSDDoc d;
  d.mode = 2;
  d.width = 4;
  d.height = 1;
  d.channels = {std::string("\x00\x01\x02\xC8", 4)};
  // A colour map of three entries only; the layer section is junk to skip.
  d.colourData = std::string(
      "\x10\x20\x30"
      "\x40\x50\x60"
      "\x70\x80\x90",
      9);
  d.layers = std::string(37, '\x7F');
  auto g = LoadImage<TPSDGraphic>(PSDFile(d));
  EXPECT_EQ(g->PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(g->Pixel(0, 0), graphics::RGB(0x10, 0x40, 0x70));
  EXPECT_EQ(g->Pixel(2, 0), graphics::RGB(0x30, 0x60, 0x90));
  EXPECT_EQ(g->Pixel(3, 0), graphics::clBlack);
}

TEST(TPSDGraphic, TruncatedCopiesRaise) {
  for (const bool packBits : {false, true})
    ExpectCutCopies<TPSDGraphic>(PSDFile(RGBDoc(packBits)), TCutPolicy::kRaises);
}

// ImageMagick's own documents from one picture, in every mode it writes,
// against ImageMagick's reading of them.
TEST(TPSDGraphic, DocumentsImageMagickWrites) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  tk::test::ScratchDir dir;
  // A 37 x 23 picture: odd sizes, flat areas (runs) and gradients (literals).
  std::string ppm = "P6\n37 23\n255\n";
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x) {
      ppm += static_cast<char>(x < 10 ? 250 : x * 7);
      ppm += static_cast<char>(y * 11);
      ppm += static_cast<char>((x * y) % 256);
    }
  tk::test::WriteFileBytes(dir / "in.ppm", ppm);
  const struct {
    const char* name;
    std::vector<std::string> options;
    int tolerance;
  } cases[] = {
      {"rgb8", {"-type", "TrueColor"}, 0},
      {"rgb16", {"-type", "TrueColor", "-depth", "16"}, 1},
      {"rgba8", {"-type", "TrueColorAlpha"}, 0},
      {"grey8", {"-colorspace", "Gray"}, 0},
      {"grey16", {"-colorspace", "Gray", "-depth", "16"}, 1},
      {"cmyk8", {"-colorspace", "CMYK"}, 1},
      {"cmyk16", {"-colorspace", "CMYK", "-depth", "16"}, 1},
      {"palette", {"-type", "Palette"}, 1},
      {"bilevel", {"-threshold", "50%", "-type", "Bilevel"}, 0},
  };
  for (const auto& c : cases) {
    for (const char* compression : {"None", "RLE"}) {
      SCOPED_TRACE(std::string(c.name) + " " + compression);
      const std::string out = (dir / (std::string(c.name) + compression + ".psd")).string();
      std::vector<std::string> argv = {"convert-im6.q16", (dir / "in.ppm").string()};
      argv.insert(argv.end(), c.options.begin(), c.options.end());
      argv.insert(argv.end(), {"-compress", compression, out});
      const tk::test::ToolResult r = tk::test::RunTool(argv);
      ASSERT_EQ(r.exitCode, 0) << r.err;
      TPSDGraphic g;
      g.LoadFromFile(out);
      // ImageMagick reads no indexed document, its own included: its
      // reduction of the picture to a palette is the expectation then.
      TRgbImage want;
      if (g.ImageProperties.ColorModel == cmIndexed) {
        std::vector<std::string> reduce = {"convert-im6.q16", (dir / "in.ppm").string()};
        reduce.insert(reduce.end(), c.options.begin(), c.options.end());
        reduce.insert(reduce.end(), {"-depth", "8", "ppm:-"});
        want = ParsePPM(tk::test::RunTool(reduce).out);
      } else {
        want = ImageMagickPixels(out);
      }
      ExpectSamePixels(PixelsOf(g), want, c.tolerance);
      ExpectCutCopies<TPSDGraphic>(tk::test::ReadFileBytes(out), TCutPolicy::kRaises);
    }
  }
}

// Lab documents at 8 and 16 bits: L* over the full range, a* and b* with
// the middle value as zero.
TEST(TPSDGraphic, LabAgainstImageMagick) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  tk::test::ScratchDir dir;
  for (const uint16_t depth : {8, 16}) {
    for (const TLabRow& row : LabRows()) {
      SCOPED_TRACE(std::to_string(depth) + "-bit " + row.name);
      TPSDDoc d;
      d.mode = 9;
      d.depth = depth;
      d.width = static_cast<uint32_t>(row.pixels.size());
      d.height = 1;
      d.channels.assign(3, "");
      const double top = depth == 8 ? 255 : 65535, zero = depth == 8 ? 128 : 32768;
      for (const auto& lab : row.pixels) {
        const double samples[3] = {lab[0] / 100 * top, lab[1] * (top + 1) / 256 + zero,
                                   lab[2] * (top + 1) / 256 + zero};
        for (size_t c = 0; c < 3; ++c)
          Put(d.channels[c], static_cast<uint32_t>(std::lround(samples[c])), depth / 8);
      }
      const std::string file = PSDFile(d);
      tk::test::WriteFileBytes(dir / "lab.psd", file);
      ExpectSamePixels(PixelsOf(*LoadImage<TPSDGraphic>(file)), ImageMagickPixels((dir / "lab.psd").string()),
                       row.tolerance);
    }
  }
}

// The shared corpus: every colour mode, against ImageMagick where it reads
// the file; 32-bit documents are refused.
TEST(TPSDGraphic, CorpusDocuments) {
  TK_REQUIRE_CORPUS();
  TK_REQUIRE_TOOL("convert-im6.q16");
  const fs::path folder = tk::test::CorpusDir() / "images/psd/tests/psd_files/colormodes";
  if (!fs::exists(folder)) GTEST_SKIP() << "no PSD files at " << folder;
  const struct {
    const char* file;
    int tolerance;  // -1: refused
  } cases[] = {
      {"4x4_1bit_bitmap.psd", 0},
      {"4x4_8bit_grayscale.psd", 0},
      {"4x4_16bit_grayscale.psd", 1},
      {"4x4_8bit_duotone.psd", 0},
      {"4x4_8bit_rgb.psd", 0},
      {"4x4_8bit_rgba.psd", 0},
      {"4x4_16bit_rgb.psd", 1},
      {"4x4_8bit_cmyk.psd", 1},
      {"4x4_16bit_cmyk.psd", 1},
      {"4x4_16bit_multichannel.psd", 1},
      // Saturated primaries: here our RGB primaries show most.
      {"4x4_8bit_lab.psd", 40},
      {"4x4_16bit_lab.psd", 40},
      {"4x4_32bit_rgb.psd", -1},
      {"4x4_32bit_grayscale.psd", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = (folder / c.file).string();
    if (c.tolerance < 0) {
      EXPECT_EQ(LoadError<TPSDGraphic>(tk::test::ReadFileBytes(path)),
                "EInvalidGraphic: Invalid color format in PSD or PDD file.");
      continue;
    }
    TPSDGraphic g;
    g.LoadFromFile(path);
    ExpectSamePixels(PixelsOf(g), ImageMagickPixels(path), c.tolerance);
  }
  // ImageMagick refuses this one; its map and indices are read as they stand.
  TPSDGraphic indexed;
  indexed.LoadFromFile((folder / "4x4_8bit_index_color.psd").string());
  EXPECT_EQ(indexed.PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(indexed.Palette()->Count(), 256);
}

}  // namespace
}  // namespace imaging
