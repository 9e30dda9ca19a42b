// The TrueType reader on a real face, on damaged copies of it, and the
// reduced file it writes, read back by fontTools.
#include "pdf/kvTrueType.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestSupport.h"

using namespace pdf;

namespace {

const std::filesystem::path kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::string DejaVuBytes() {
  return std::filesystem::exists(kDejaVu) ? tk::test::ReadFileBytes(kDejaVu) : "";
}

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

// Offset of the named table's directory entry.
size_t EntryOf(const std::string& font, const std::string& tag) {
  const size_t n = (static_cast<uint8_t>(font[4]) << 8) | static_cast<uint8_t>(font[5]);
  for (size_t i = 0; i < n; ++i)
    if (font.compare(12 + i * 16, 4, tag) == 0) return 12 + i * 16;
  return std::string::npos;
}

// A font of the given tables, in the order given (tags of four letters).
std::string FontOf(const std::vector<std::pair<std::string, std::string>>& tables) {
  std::string f(12 + 16 * tables.size(), '\0');
  Put32(f, 0, 0x00010000u);
  f[5] = static_cast<char>(tables.size());
  for (size_t i = 0; i < tables.size(); ++i) {
    const size_t at = 12 + 16 * i;
    f.replace(at, 4, tables[i].first);
    Put32(f, at + 8, static_cast<uint32_t>(f.size()));
    Put32(f, at + 12, static_cast<uint32_t>(tables[i].second.size()));
    f += tables[i].second;
  }
  return f;
}

void Put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v >> 8);
  s[at + 1] = static_cast<char>(v & 0xFF);
}

bool HaveFontTools() {
  return tk::test::RunTool({"/usr/bin/python3", "-c", "import fontTools"}).exitCode == 0;
}

}  // namespace

TEST(TrueType, TableChecksum) {
  EXPECT_EQ(TableChecksum(std::string("\0\0\0\1\0\0\0\2", 8)), 3u);
  EXPECT_EQ(TableChecksum("\x01"), 0x01000000u);
}

TEST(TrueType, ReadsMapAndWidthsOfARealFace) {
  const std::string bytes = DejaVuBytes();
  if (bytes.empty()) GTEST_SKIP() << "DejaVu Sans not installed";
  TkvTrueTypeFile font(bytes);
  const auto cmap = font.ReadUnicodeCmap();
  ASSERT_FALSE(cmap.empty());
  uint16_t a = 0;
  for (const auto& p : cmap) {
    EXPECT_LT(p.Glyph, font.GlyphCount());
    if (p.Unicode == 'A') a = p.Glyph;
  }
  ASSERT_NE(a, 0);
  const auto widths = font.ReadGlyphWidths();
  ASSERT_EQ(widths.size(), font.GlyphCount());
  EXPECT_EQ(widths[a], 684);  // 1401 units of 2048
}

// Each damaged copy raises or reads without going outside the file.
TEST(TrueType, DamagedFilesRaiseOrStayInside) {
  const std::string bytes = DejaVuBytes();
  if (bytes.empty()) GTEST_SKIP() << "DejaVu Sans not installed";
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
    bool raises;
  };
  const Case cases[] = {
      {"truncated directory", [](std::string& f) { f.resize(40); }, true},
      {"table past the end", [](std::string& f) { Put32(f, EntryOf(f, "glyf") + 8, 0xFFFFFF00u); }, true},
      {"length past the end", [](std::string& f) { Put32(f, EntryOf(f, "hmtx") + 12, 0x7FFFFFFFu); }, true},
      {"units per em zero",
       [](std::string& f) {
         const size_t head = (static_cast<uint8_t>(f[EntryOf(f, "head") + 8]) << 24 |
                              static_cast<uint8_t>(f[EntryOf(f, "head") + 9]) << 16 |
                              static_cast<uint8_t>(f[EntryOf(f, "head") + 10]) << 8 |
                              static_cast<uint8_t>(f[EntryOf(f, "head") + 11]));
         f[head + 18] = f[head + 19] = 0;
       },
       true},
      {"a collection", [](std::string& f) { f.replace(0, 4, "ttcf"); }, true},
      {"loca says glyphs lie past glyf", [](std::string& f) { Put32(f, EntryOf(f, "glyf") + 12, 16); },
       false},
      {"cmap cut short", [](std::string& f) { Put32(f, EntryOf(f, "cmap") + 12, 30); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string f = bytes;
    c.damage(f);
    if (c.raises) {
      EXPECT_THROW(
          {
            TkvTrueTypeFile font(f);
            font.ReadGlyphWidths();
          },
          ETrueTypeError);
      continue;
    }
    TkvTrueTypeFile font(f);
    std::set<uint16_t> all;
    for (const auto& p : font.ReadUnicodeCmap()) all.insert(p.Glyph);
    TkvTrueTypeFile again(font.Subset(all));
    EXPECT_EQ(again.GlyphCount(), font.GlyphCount());
  }
}

// The glyph of U+00E9 (e acute) is a composite in this face: its parts come
// along. fontTools reads the reduced file and finds every kept outline.
TEST(TrueType, SubsetKeepsGlyphsAndComponentsAndReadsBack) {
  const std::string bytes = DejaVuBytes();
  if (bytes.empty()) GTEST_SKIP() << "DejaVu Sans not installed";
  TkvTrueTypeFile font(bytes);
  std::set<uint16_t> used;
  for (const auto& p : font.ReadUnicodeCmap())
    if (p.Unicode == 'H' || p.Unicode == 0xE9) used.insert(p.Glyph);
  ASSERT_EQ(used.size(), 2u);
  const auto withParts = font.WithComponents(used);
  EXPECT_GT(withParts.size(), used.size());
  const std::string subset = font.Subset(used);
  EXPECT_LT(subset.size(), bytes.size() / 10);
  TkvTrueTypeFile back(subset);
  EXPECT_EQ(back.Tables().size(), 10u);
  EXPECT_EQ(back.Tables()[0].Offset, 172u);  // data right after ten entries
  EXPECT_EQ(back.Table("loca").size(),
            (size_t{back.GlyphCount()} + 1) * ((back.Table("head")[51] == 1) ? 4 : 2));
  EXPECT_EQ(TableChecksum(subset), 0xB1B0AFBAu);

  if (!HaveFontTools()) {
    if (tk::test::UnderCI()) FAIL() << "oracle missing under CI: fontTools";
    GTEST_SKIP() << "oracle not installed: fontTools";
  }
  const tk::test::ScratchDir scratch;
  const auto path = scratch / "subset.ttf";
  tk::test::WriteFileBytes(path, subset);
  std::string ids;
  for (uint16_t g : withParts) ids += std::to_string(g) + ",";
  const std::string script =
      "import sys\n"
      "from fontTools.ttLib import TTFont\n"
      "f = TTFont(sys.argv[1])\n"
      "keep = set(int(x) for x in sys.argv[2].split(',') if x)\n"
      "g = f['glyf']\n"
      "order = f.getGlyphOrder()\n"
      "nonempty = set(i for i, n in enumerate(order) if g[n].numberOfContours != 0)\n"
      "print('ok' if nonempty <= keep | {0} and (keep - {0}) <= nonempty else 'bad %s' % sorted(nonempty ^ "
      "keep))\n";
  auto r = tk::test::RunTool({"/usr/bin/python3", "-c", script, path.string(), ids});
  EXPECT_EQ(r.out, "ok\n") << r.err;
}

// A damaged loca that lets every other glyph span the whole glyph table,
// whose one outline is a composite naming all of them: each kept glyph
// would be copied whole, a file of some 24 MB from one of 20 KB (and
// gigabytes from a larger one). The reduced file is refused instead, and the
// caller embeds the font as it is.
TEST(TrueType, SubsetRefusesOutlinesThatShareBytes) {
  constexpr uint16_t kParts = 2000;
  constexpr uint16_t kGlyphs = 2 * kParts + 1;
  std::string glyf(10 + 6 * size_t{kParts}, '\0');
  Put16(glyf, 0, 0xFFFF);  // a composite
  for (size_t i = 0; i < kParts; ++i) {
    const size_t at = 10 + 6 * i;
    Put16(glyf, at,
          static_cast<uint16_t>(i + 1 < kParts ? 0x0020 : 0));  // more components follow; byte arguments
    Put16(glyf, at + 2, static_cast<uint16_t>(2 * (i + 1)));
  }
  // Short offsets in words: even glyphs run from 0 to the end, odd ones
  // backwards (empty).
  std::string loca(2 * (size_t{kGlyphs} + 1), '\0');
  for (size_t g = 0; g <= kGlyphs; ++g)
    Put16(loca, 2 * g, static_cast<uint16_t>(g % 2 ? glyf.size() / 2 : 0));
  std::string head(54, '\0'), maxp(6, '\0'), hhea(36, '\0'), hmtx(4, '\0');
  Put16(head, 18, 1000);
  Put16(maxp, 4, kGlyphs);
  Put16(hhea, 34, 1);
  const std::string f = FontOf(
      {{"glyf", glyf}, {"head", head}, {"hhea", hhea}, {"hmtx", hmtx}, {"loca", loca}, {"maxp", maxp}});
  TkvTrueTypeFile font(f);
  EXPECT_EQ(font.WithComponents({0}).size(), size_t{kParts} + 1);
  EXPECT_THROW(font.Subset({0}), ETrueTypeError);
}
