#include "platform/graphics/FontEngine.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/rtl/CodePages.h"
#include "support/TestSupport.h"

namespace graphics {
namespace {

// The family every test machine has: build.sh installs it.
const char* const kFamily = "DejaVu Sans";

TFont MakeFont(const std::string& name, int size, TFontStyles style = {}) {
  TFont f;
  f.Name = name;
  f.SetSize(size);
  f.Style = style;
  return f;
}

TSize Extent(const TFont& font, const std::string& text) {
  TCanvas& canvas = ScreenCanvas();
  canvas.SetFont(font);
  return canvas.TextExtent(text);
}

std::string FcMatch(const std::string& pattern) {
  auto r = tk::test::RunTool({"fc-match", "-f", "%{file}", pattern});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return r.out;
}

TEST(TFont, SizeAndHeightFollowTheResolution) {
  TFont f;
  EXPECT_EQ(f.Size(), TFont::kDefaultSize);
  EXPECT_EQ(f.Height(), -11);  // 8 points at 96 pixels per inch
  f.SetSize(12);
  EXPECT_EQ(f.Height(), -16);
  f.SetHeight(-11);
  EXPECT_EQ(f.Size(), 8);
  f.PixelsPerInch = 120;
  f.SetSize(12);
  EXPECT_EQ(f.Height(), -20);

  // Sizes from untrusted markup cannot overflow the arithmetic.
  f.SetSize(INT32_MAX);
  EXPECT_EQ(f.Height(), -TFont::kMaxPixelHeight);
  f.SetSize(INT32_MIN);
  EXPECT_EQ(f.Height(), TFont::kMaxPixelHeight);

  TFont g;
  g.Assign(MakeFont("Serif", 20, {fsBold, fsUnderline}));
  EXPECT_EQ(g.Name, "Serif");
  EXPECT_EQ(g.Size(), 20);
  EXPECT_TRUE(g.Style == (TFontStyles{fsBold, fsUnderline}));
}

// Widths are the sums of hinted advances and heights the ascent plus
// descent, measured independently by Python's imaging library on the very
// file fontconfig chose, at the same pixel size. Single characters keep its
// kerning out of the comparison.
TEST(FontEngine, ExtentsAgreeWithPython) {
  TK_REQUIRE_TOOL("/usr/bin/python3");
  struct Case {
    TFont font;
    std::string text;
  } cases[] = {
      {MakeFont(kFamily, 8), "Hello, World"},
      {MakeFont(kFamily, 12), "AVAV To. fi ffl"},
      {MakeFont(kFamily, 12, {fsBold}), "Hello, World"},
      {MakeFont(kFamily, 10, {fsItalic}), "Quick brown fox"},
      {MakeFont("DejaVu Serif", 36), "Wg|"},
      {MakeFont("DejaVu Sans Mono", 11), "mono  spaced"},
      {MakeFont(kFamily, 12), "\xCE\xB1\xCE\xB2 \xD0\x96"},  // Greek, Cyrillic
      {MakeFont(kFamily, 12), "\xE4\xB8\x80"},               // a glyph the face lacks
  };
  std::string input;
  std::vector<TSize> ours;
  for (const Case& c : cases) {
    TFontFace face(RequestFor(c.font));
    ours.push_back(Extent(c.font, c.text));
    std::string hex;
    for (unsigned char b : c.text) {
      hex += "0123456789abcdef"[b >> 4];
      hex += "0123456789abcdef"[b & 15];
    }
    input += face.File().Path + "\t" + std::to_string(face.File().FaceIndex) + "\t" +
             std::to_string(-c.font.Height()) + "\t" + hex + "\n";
  }
  const std::string script =
      "import sys\n"
      "from PIL import ImageFont\n"
      "for line in sys.stdin.read().splitlines():\n"
      "    path, index, px, text = line.split('\\t')\n"
      "    f = ImageFont.truetype(path, int(px), index=int(index), layout_engine=ImageFont.Layout.BASIC)\n"
      "    a, d = f.getmetrics()\n"
      "    print(sum(f.getlength(c) for c in bytes.fromhex(text).decode()), a + d)\n";
  auto r = tk::test::RunTool({"/usr/bin/python3", "-c", script}, input);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::istringstream lines(r.out);
  for (size_t i = 0; i < ours.size(); ++i) {
    SCOPED_TRACE(cases[i].font.Name + " " + std::to_string(cases[i].font.Size()) + ": " + cases[i].text);
    double width = 0;
    int height = 0;
    ASSERT_TRUE(lines >> width >> height);
    EXPECT_EQ(ours[i].cx, width);
    EXPECT_EQ(ours[i].cy, height);
  }
}

TEST(FontEngine, EmptyTextIsALineHigh) {
  const TFont f = MakeFont(kFamily, 12);
  const TSize e = Extent(f, "");
  EXPECT_EQ(e.cx, 0);
  EXPECT_EQ(e.cy, Extent(f, "x").cy);
  EXPECT_GT(e.cy, 0);
}

TEST(FontEngine, BiggerSizesGiveBiggerExtents) {
  TSize last;
  for (int size : {6, 8, 12, 24, 48, 96}) {
    SCOPED_TRACE(size);
    const TSize e = Extent(MakeFont(kFamily, size), "Tarnwick 0123");
    EXPECT_GT(e.cx, last.cx);
    EXPECT_GT(e.cy, last.cy);
    last = e;
  }
}

// fontconfig's own matcher says which file a pattern gives.
TEST(FontEngine, StylesChooseTheirFaces) {
  TK_REQUIRE_TOOL("fc-match");
  const TFont regular = MakeFont(kFamily, 12);
  const TFont bold = MakeFont(kFamily, 12, {fsBold});
  const TFont boldItalic = MakeFont(kFamily, 12, {fsBold, fsItalic, fsUnderline, fsStrikeOut});
  EXPECT_EQ(MatchFontFile(RequestFor(regular)).Path, FcMatch("DejaVu Sans:weight=80:slant=0"));
  EXPECT_EQ(MatchFontFile(RequestFor(bold)).Path, FcMatch("DejaVu Sans:weight=200:slant=0"));

  TFontFace face(RequestFor(bold));
  EXPECT_TRUE(face.IsBold());
  EXPECT_FALSE(face.IsItalic());
  TFontFace both(RequestFor(boldItalic));
  EXPECT_TRUE(both.IsBold());
  EXPECT_TRUE(both.IsItalic());
  EXPECT_GT(Extent(bold, "Hello, World").cx, Extent(regular, "Hello, World").cx);
}

TEST(FontEngine, MissingFamilyFallsBackToTheBestMatch) {
  TK_REQUIRE_TOOL("fc-match");
  struct Case {
    std::string name;
    TFontCharset charset;
    std::string pattern;
  } cases[] = {
      {"No Such Family Anywhere", DEFAULT_CHARSET, "No Such Family Anywhere:weight=80:slant=0"},
      {"", DEFAULT_CHARSET, ":weight=80:slant=0"},
      // Japanese text wants a face that has it, where one is installed.
      {"No Such Family Anywhere", SHIFTJIS_CHARSET, "No Such Family Anywhere:weight=80:slant=0:lang=ja"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    TFont f = MakeFont(c.name, 12);
    f.Charset = c.charset;
    EXPECT_EQ(MatchFontFile(RequestFor(f)).Path, FcMatch(c.pattern));
    const TSize e = Extent(f, "fallback");
    EXPECT_GT(e.cx, 0);
    EXPECT_GT(e.cy, 0);
  }
}

// Text arrives in the system code page: the same characters in Shift-JIS
// bytes measure as in UTF-8, a double-byte character counting once.
TEST(FontEngine, DoubleByteTextMeasuresByCharacter) {
  const TFont f = MakeFont(kFamily, 12);
  const std::string utf8 = "A\xCE\xB1\xCE\xB2\xD0\x96";  // A, alpha, beta, Zhe
  const TSize wide = Extent(f, utf8);
  tk::test::SystemCodePage sjis(rtl::CP_SHIFTJIS);
  const std::string sjisText = "A\x83\xBF\x83\xC0\x84\x47";
  EXPECT_EQ(Extent(f, sjisText), wide);
  TFontFace face(RequestFor(f));
  EXPECT_EQ(wide.cx,
            face.Advance(U'A') + face.Advance(U'\u03B1') + face.Advance(U'\u03B2') + face.Advance(U'\u0416'));
}

TEST(FontEngine, CodePointsJoinSurrogatePairs) {
  EXPECT_EQ(CodePointsOf("a\xF0\x9F\x98\x80"
                         "b"),
            U"a\U0001F600b");
  EXPECT_EQ(CodePointsOf(""), U"");
}

}  // namespace
}  // namespace graphics
