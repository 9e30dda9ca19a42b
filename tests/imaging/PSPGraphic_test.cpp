#include "imaging/PSPGraphic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace tk::test;

void Put(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i) & 0xFF);
}

enum : uint16_t { kRaw = 0, kRunLength = 1, kDeflate = 2 };

// A file as the format lays it out: header, general attributes, an
// optional palette, and a layer bank of layers, each with its channels.
struct TPSPDoc {
  uint16_t major = 5;
  uint32_t width = 3;
  uint32_t height = 2;
  uint16_t depth = 24;
  uint16_t compression = kRaw;
  bool grey = false;
  std::string palette;  // four bytes an entry
  uint32_t paletteCount = 0;
  struct TLayer {
    uint8_t type = 0;
    std::vector<std::pair<uint16_t, std::string>> channels;  // type, rows
  };
  std::vector<TLayer> layers;
};

std::string RunLength(const std::string& raw) {
  std::string out;
  for (size_t at = 0; at < raw.size();) {
    size_t same = 1;
    while (at + same < raw.size() && same < 127 && raw[at + same] == raw[at]) ++same;
    if (same >= 3) {
      out += static_cast<char>(128 + same);
      out += raw[at];
      at += same;
    } else {
      const size_t n = std::min<size_t>(127, raw.size() - at);
      out += static_cast<char>(n);
      out += raw.substr(at, n);
      at += n;
    }
  }
  return out;
}

std::string PSPFile(const TPSPDoc& d) {
  const bool v3 = d.major == 3;
  auto block = [&](uint16_t id, const std::string& contents) {
    std::string b = "~BK";
    b += '\0';
    Put(b, id, 2);
    if (v3) Put(b, static_cast<uint32_t>(contents.size()), 4);
    Put(b, static_cast<uint32_t>(contents.size()), 4);
    return b + contents;
  };
  auto chunk = [&](const std::string& contents) {
    if (v3) return contents;
    std::string c;
    Put(c, static_cast<uint32_t>(contents.size() + 4), 4);
    return c + contents;
  };
  std::string f = "Paint Shop Pro Image File\n\x1a";
  f.resize(32, '\0');
  Put(f, d.major, 2);
  Put(f, 0, 2);
  std::string a;
  Put(a, d.width, 4);
  Put(a, d.height, 4);
  a += std::string(8, '\0');  // resolution
  a += '\0';
  Put(a, d.compression, 2);
  Put(a, d.depth, 2);
  Put(a, 1, 2);
  Put(a, 0, 4);
  a += static_cast<char>(d.grey);
  a.resize(42, '\0');
  f += block(0, chunk(a));
  if (!d.palette.empty()) {
    std::string p;
    Put(p, d.paletteCount ? d.paletteCount : static_cast<uint32_t>(d.palette.size() / 4), 4);
    f += block(2, chunk(p) + d.palette);
  }
  std::string bank;
  for (const auto& layer : d.layers) {
    std::string record(115, '\0');
    record[0] = static_cast<char>(layer.type);
    std::string l;
    if (v3) {
      l = std::string(256, '\0') + record;
    } else {
      std::string first;
      Put(first, 4, 2);
      first += "Back" + record;
      l = chunk(first);
    }
    std::string counts;
    Put(counts, 1, 2);
    Put(counts, static_cast<uint32_t>(layer.channels.size()), 2);
    l += chunk(counts);
    for (const auto& [type, raw] : layer.channels) {
      const std::string packed = d.compression == kRunLength ? RunLength(raw)
                                 : d.compression == kDeflate ? Deflated(raw)
                                                             : raw;
      std::string info;
      Put(info, static_cast<uint32_t>(packed.size()), 4);
      Put(info, static_cast<uint32_t>(raw.size()), 4);
      Put(info, 0, 2);
      Put(info, type, 2);
      l += block(5, chunk(info) + packed);
    }
    bank += block(4, l);
  }
  return f + block(3, bank);
}

const std::string kRed("\x00\x10\x20\x30\x40\x50", 6), kGreen("\xFF\xEE\xDD\xCC\xBB\xAA", 6),
    kBlue("\x01\x02\x03\x04\x05\x06", 6);

TPSPDoc RGBDoc(uint16_t major, uint16_t compression) {
  TPSPDoc d;
  d.major = major;
  d.compression = compression;
  d.layers = {{0, {{1, kRed}, {2, kGreen}, {3, kBlue}}}};
  return d;
}

std::vector<uint8_t> Interleaved(const std::string& r, const std::string& g, const std::string& b) {
  std::vector<uint8_t> rgb;
  for (size_t i = 0; i < r.size(); ++i)
    rgb.insert(rgb.end(),
               {static_cast<uint8_t>(r[i]), static_cast<uint8_t>(g[i]), static_cast<uint8_t>(b[i])});
  return rgb;
}

TEST(TPSPGraphic, ColourLayersOfEveryVersionAndCompression) {
  for (const uint16_t major : {3, 4, 5})
    for (const uint16_t compression : {kRaw, kRunLength, kDeflate}) {
      SCOPED_TRACE("version " + std::to_string(major) + ", compression " + std::to_string(compression));
      const auto g = LoadImage<TPSPGraphic>(PSPFile(RGBDoc(major, compression)));
      EXPECT_EQ(g->PixelFormat(), graphics::pf24bit);
      EXPECT_EQ(PixelsOf(*g).rgb, Interleaved(kRed, kGreen, kBlue));
    }
  // A fourth channel (the transparency) gives a 32-bit bitmap.
  TPSPDoc masked = RGBDoc(5, kRaw);
  masked.layers[0].channels.push_back({0, std::string(6, '\xFF')});
  const auto g = LoadImage<TPSPGraphic>(PSPFile(masked));
  EXPECT_EQ(g->PixelFormat(), graphics::pf32bit);
  EXPECT_EQ(PixelsOf(*g).rgb, Interleaved(kRed, kGreen, kBlue));
}

TEST(TPSPGraphic, IndexedAndGreyLayers) {
  // 16 entries whose colours are bytes 2, 1, 0 of each entry.
  TPSPDoc d;
  d.depth = 8;
  d.width = 4;
  for (int i = 0; i < 16; ++i)
    d.palette += std::string{static_cast<char>(i), static_cast<char>(16 * i), '\x7F', '\0'};
  d.layers = {{0, {{0, std::string("\x00\x01\x0E\x0F\x05\x06\x07\x08", 8)}}}};
  const auto g = LoadImage<TPSPGraphic>(PSPFile(d));
  EXPECT_EQ(g->PixelFormat(), graphics::pf8bit);
  EXPECT_EQ(g->Pixel(3, 0), static_cast<graphics::TColor>(0x7F | 0xF0 << 8 | 15 << 16));
  EXPECT_EQ(g->Pixel(1, 1), static_cast<graphics::TColor>(0x7F | 0x60 << 8 | 6 << 16));

  // 4-bit rows, packed or one byte longer: the channel's own length says.
  d.depth = 4;
  for (const std::string& rows :
       {std::string("\x01\xEF\x56\x78", 4), std::string("\x01\xEF\x00\x56\x78\x00", 6)}) {
    d.layers = {{0, {{0, rows}}}};
    const auto four = LoadImage<TPSPGraphic>(PSPFile(d));
    EXPECT_EQ(four->PixelFormat(), graphics::pf4bit);
    EXPECT_EQ(four->Pixel(3, 0), g->Pixel(3, 0));
    EXPECT_EQ(four->Pixel(1, 1), g->Pixel(1, 1));
  }

  TPSPDoc grey;
  grey.depth = 8;
  grey.grey = true;
  grey.layers = {{0, {{0, kRed}}}};
  EXPECT_EQ(PixelsOf(*LoadImage<TPSPGraphic>(PSPFile(grey))).rgb, Interleaved(kRed, kRed, kRed));
}

TEST(TPSPGraphic, LayersThatAreNotRasterAreSkipped) {
  for (const uint16_t major : {3, 5}) {
    SCOPED_TRACE(major);
    TPSPDoc d = RGBDoc(major, kRaw);
    // Version 3 knows raster type 0 only, later versions 0 and 1.
    const uint8_t other = major == 3 ? 1 : 2;
    d.layers.insert(d.layers.begin(), {other, {{1, kBlue}, {2, kBlue}, {3, kBlue}}});
    EXPECT_EQ(PixelsOf(*LoadImage<TPSPGraphic>(PSPFile(d))).rgb, Interleaved(kRed, kGreen, kBlue));
  }
}

TEST(TPSPGraphic, HeaderTest) {
  std::string upper = PSPFile(RGBDoc(5, kRaw));
  upper.replace(0, 25, "PAINT SHOP PRO IMAGE FILE");
  rtl::TStringStream s(upper);
  EXPECT_TRUE(TPSPGraphic::CanReadStream(s));
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(LoadError<TPSPGraphic>(upper), "loaded");
  std::string old = upper;
  old[32] = 2;
  rtl::TStringStream o(old);
  EXPECT_FALSE(TPSPGraphic::CanReadStream(o));
}

TEST(TPSPGraphic, DamagedFilesRaise) {
  const std::string invalid = "EInvalidGraphic: Cannot load image. Invalid or unexpected PSP image format.";
  const std::string readError = "EInvalidGraphic: Stream read error in PSP file.";
  const std::string unsupported =
      "EInvalidGraphic: Cannot load image. The compression scheme is not supported for PSP files.";
  auto with = [](auto change) {
    TPSPDoc d = RGBDoc(5, kRaw);
    change(d);
    return PSPFile(d);
  };
  std::string bigChannel = PSPFile(RGBDoc(5, kRaw));
  // The first channel's compressed length, far beyond the file.
  bigChannel.replace(bigChannel.find(kRed) - 12, 4, std::string("\xF0\xFF\xFF\x7F", 4));
  std::string bigPalette = with([](TPSPDoc& d) {
    d.depth = 8;
    d.palette = std::string(8, '\0');
    d.paletteCount = 0xFFFFFFF0;
    d.layers = {{0, {{0, kRed}}}};
  });
  const struct {
    const char* name;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"JPEG channels", with([](TPSPDoc& d) { d.compression = 3; }), unsupported},
      {"compression 7", with([](TPSPDoc& d) { d.compression = 7; }), unsupported},
      {"depth 16", with([](TPSPDoc& d) { d.depth = 16; }),
       "EInvalidGraphic: Invalid color format in PSP file."},
      {"no layer", with([](TPSPDoc& d) { d.layers.clear(); }), invalid},
      {"only a vector layer", with([](TPSPDoc& d) { d.layers[0].type = 2; }), invalid},
      {"blue channel missing", with([](TPSPDoc& d) { d.layers[0].channels.pop_back(); }), invalid},
      {"channel of one row", with([](TPSPDoc& d) { d.layers[0].channels[0].second = "abc"; }), invalid},
      {"channel length past the end", bigChannel, readError},
      {"palette count past the end", bigPalette, readError},
      {"run-length data one byte short",
       [] {
         TPSPDoc d = RGBDoc(5, kRunLength);
         std::string f = PSPFile(d);
         return f.substr(0, f.size() - 1);
       }(),
       readError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LoadError<TPSPGraphic>(c.bytes), c.error);
  }
}

TEST(TPSPGraphic, TruncatedCopiesRaise) {
  for (const uint16_t compression : {kRaw, kRunLength, kDeflate}) {
    SCOPED_TRACE(compression);
    ExpectCutCopies<TPSPGraphic>(PSPFile(RGBDoc(5, compression)), TCutPolicy::kRaises);
  }
  ExpectCutCopies<TPSPGraphic>(PSPFile(RGBDoc(3, kRaw)), TCutPolicy::kRaises);
}

}  // namespace
}  // namespace imaging
