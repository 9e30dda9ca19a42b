#include "pdf/kvConsts.h"

#include <gtest/gtest.h>

#include "platform/graphics/Graphics.h"
#include "platform/rtl/CodePages.h"
#include "support/TestSupport.h"

namespace {

using namespace pdf;

constexpr auto B = tk::test::Bytes;

TEST(Escapes, EscapeTable) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a(b)\\c", "a\\(b\\)\\\\c"},
      {"\r\n", "\\r\\n"},
      {B({8, 9, 12}), "\\b\\t\\f"},
      {B({0, 1, 0x7F, 0x80, 0xFF}), B({0, 1, 0x7F, 0x80, 0xFF})},  // no octal escapes produced
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(EscapePDFString(c.in), c.out);
  }
}

TEST(Escapes, UnescapeTable) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"\\101", "A"},
      {"\\0", B({0})},
      {"\\12", "\n"},
      {"\\8", "\\8"},
      {"\\(x\\)", "(x)"},
      {"end\\", "end\\"},
      {"\\777", B({255})},
      {"\\1012", "A2"},
      {"\\q", "\\q"},
      {"\\b\\f\\n\\r\\t\\\\", B({8, 12, 10, 13, 9, '\\'})},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(UnescapePDFString(c.in), c.out);
  }
}

TEST(Escapes, RoundTripEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(UnescapePDFString(EscapePDFString(all)), all);
  EXPECT_EQ(UnescapePDFString(EscapePDFString("((\\))")), "((\\))");
}

TEST(Escapes, UnescapeToBufferKeepsLetterEscapesAndBounds) {
  uint8_t buf[8] = {};
  EXPECT_EQ(UnescapePDFStringToBuffer("\\b", buf, sizeof buf), 2u);
  EXPECT_EQ(buf[0], '\\');
  EXPECT_EQ(buf[1], 'b');
  EXPECT_EQ(UnescapePDFStringToBuffer("\\101\\102\\n", buf, sizeof buf), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "AB\n");
  uint8_t small[2] = {};
  EXPECT_EQ(UnescapePDFStringToBuffer("abcdef", small, sizeof small), 2u);
  EXPECT_EQ(UnescapePDFStringToBuffer("abc", nullptr, 0), 0u);
}

TEST(Hex, Conversions) {
  EXPECT_EQ(StrToHexText(B({0x00, 0x1F, 0xAB, 0xFF})), "001FABFF");
  EXPECT_EQ(HexTextToString("48 65 6c 6C 6f"), "Hello");
  // An odd final digit is completed with 0.
  EXPECT_EQ(HexTextToString("414"), B({0x41, 0x40}));
  EXPECT_EQ(HexTextToBytes("4>1x"), (std::vector<uint8_t>{0x41}));
  EXPECT_TRUE(IsHexText(""));
  EXPECT_TRUE(IsHexText("09afAF"));
  EXPECT_FALSE(IsHexText("4g"));
  bool failed = false;
  EXPECT_EQ(HexTextToByte("1FF", failed), 0xFF);
  EXPECT_FALSE(failed);
  EXPECT_EQ(HexTextToByte("zz", failed), 0);
  EXPECT_TRUE(failed);
  EXPECT_TRUE(IsOctalText("0127"));
  EXPECT_FALSE(IsOctalText("8"));
  EXPECT_EQ(OctalTextToByte("777"), 255);
  EXPECT_EQ(OctalTextToByte("9"), 0);
  char out[4];
  const uint8_t src[] = {0xDE, 0xAD};
  HexEncodeBytes(src, out, 2);
  EXPECT_EQ(std::string(out, 4), "DEAD");
}

TEST(Hex, RoundTripEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(HexTextToString(StrToHexText(all)), all);
}

TEST(Numbers, UnitTextAndColours) {
  EXPECT_EQ(HexByteToUnitText("80"), "0.5020");
  EXPECT_EQ(HexByteToUnitText("FF"), "1.0000");
  EXPECT_EQ(HexByteToUnitText("zz"), "0.0000");
  EXPECT_EQ(ColorToPDFRGB(0x0000FF), "1.0000 0.0000 0.0000");  // red is the low byte
  EXPECT_EQ(ColorToPDFRGB(0xFF0000), "0.0000 0.0000 1.0000");
  SetScreenPixelsPerInch(96);
  EXPECT_DOUBLE_EQ(PixelsToPoints(96), 72);
  EXPECT_DOUBLE_EQ(PointsToPixels(72), 96);
  EXPECT_DOUBLE_EQ(DegreesToRadians(180), 3.14159265358979323846);
}

// The screen's own font stays what it was, and the figures are the screen
// canvas's own measurement of the font (whose agreement with an outside
// measurement the graphics tests show).
TEST(Text, MeasureTextOnTheScreen) {
  graphics::TCanvas& screen = graphics::ScreenCanvas();
  graphics::TFont own;
  own.Name = "DejaVu Serif";
  own.SetSize(9);
  screen.SetFont(own);

  graphics::TFont font;
  font.Name = "DejaVu Sans";
  font.SetSize(24);
  font.Style = {graphics::fsBold};
  int32_t width = -1, height = -1;
  MeasureText("Stamp", font, width, height);
  EXPECT_EQ(screen.Font().Name, "DejaVu Serif");
  EXPECT_EQ(screen.Font().Size(), 9);
  EXPECT_TRUE(screen.Font().Style.Empty());

  screen.SetFont(font);
  EXPECT_EQ(width, screen.TextWidth("Stamp"));
  EXPECT_EQ(height, screen.TextHeight("Stamp"));
  EXPECT_GT(width, 0);
  screen.SetFont(own);

  MeasureText("", font, width, height);
  EXPECT_EQ(width, 0);
  EXPECT_GT(height, 0);
}

TEST(Text, CharacterCountedSubstrings) {
  const std::string s =
      "a\xE3\x81\x82"
      "b";  // a, HIRAGANA A (3 bytes in UTF-8), b
  rtl::SetACP(rtl::CP_UTF8);
  EXPECT_EQ(LeftChars(s, 2), "a\xE3\x81\x82");
  EXPECT_EQ(RightChars(s, 2),
            "\xE3\x81\x82"
            "b");
  EXPECT_EQ(MidChars(s, 2, 1), "\xE3\x81\x82");
  EXPECT_EQ(MidChars(s, 9, 1), "");
  EXPECT_EQ(FindFrom("b", "abcab", 1), 2);
  EXPECT_EQ(FindFrom("b", "abcab", 3), 5);
  EXPECT_EQ(FindFrom("x", "abc", 1), 0);
  EXPECT_TRUE(ContainsTextNoCase("Hello World", "WORLD"));
  EXPECT_EQ(ReplaceAllNoCase("aXbxc", "x", "--"), "a--b--c");
  EXPECT_EQ(ReplaceAllNoCase("Page PAGE", "page", "P"), "P P");
  EXPECT_EQ(ReplaceAllNoCase("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceAllNoCase("abc", "", "x"), "abc");
  int32_t v = 0;
  EXPECT_TRUE(TryParseInt("-12", v));
  EXPECT_EQ(v, -12);
  EXPECT_FALSE(TryParseInt("12a", v));
  EXPECT_FALSE(TryParseInt("2147483648", v));
  // Blanks may lead, nothing may follow; decimal digits only.
  EXPECT_TRUE(TryParseInt(" \t+7", v));
  EXPECT_EQ(v, 7);
  EXPECT_FALSE(TryParseInt("7 ", v));
  EXPECT_FALSE(TryParseInt("$10", v));
  EXPECT_FALSE(TryParseInt("0x10", v));
  EXPECT_EQ(v, 7);
  EXPECT_EQ(ChooseInt(true, 1, 2), 1);
  auto p = std::make_unique<int>(3);
  FreeAndClear(p);
  EXPECT_EQ(p, nullptr);
}

TEST(Search, BufferSearch) {
  const std::string buf = "startxref 1 xstartxref startxref9 startxref 2 %%startxref";
  struct Case {
    const char* name;
    size_t selStart, selLength;
    bool down, whole;
    int64_t want;
  } cases[] = {
      {"down plain", 0, 0, true, false, 0},
      {"down after selection", 0, 1, true, false, 13},
      {"down whole word skips run-together", 1, 0, true, true, 34},
      {"up plain from end", buf.size(), 0, false, false, 48},
      {"up whole word from end", buf.size(), 0, false, true, 48},
      {"up whole word before 48", 48, 0, false, true, 34},
      {"up before start of any", 5, 0, false, false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SearchBuffer(buf.data(), buf.size(), c.selStart, c.selLength, "startxref", c.down, c.whole),
              c.want);
  }
  EXPECT_EQ(SearchBuffer(buf.data(), 3, 3, 0, "startxref", false, true), -1);
  EXPECT_EQ(SearchBuffer(buf.data(), buf.size(), 0, 0, "", true, false), -1);
  // Exact bytes: no case folding.
  EXPECT_EQ(SearchBuffer("STARTXREF", 9, 0, 0, "startxref", true, false), -1);
}

}  // namespace
