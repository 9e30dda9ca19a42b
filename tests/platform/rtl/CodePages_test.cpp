#include "platform/rtl/CodePages.h"

#include <gtest/gtest.h>

#include "platform/rtl/SysUtils.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace rtl;

struct Text {
  const char* name;
  std::u16string wide;
  std::string utf8;
  std::string sjis;
};

// Shift-JIS bytes as the code page tables give them.
const Text kTexts[] = {
    {"ascii", u"Tarnwick 1.18", "Tarnwick 1.18", "Tarnwick 1.18"},
    {"hiragana", u"\u3053\u3093\u306B\u3061\u306F",
     "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF",
     "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD"},
    {"kanji with a 0x5C trail byte", u"\u8868\u793A", "\xE8\xA1\xA8\xE7\xA4\xBA", "\x95\x5C\x8E\xA6"},
    {"full-width and half-width katakana", u"\uFF24\uFF52\uFF41\uFF47\uFF71",
     "\xEF\xBC\xA4\xEF\xBD\x92\xEF\xBD\x81\xEF\xBD\x87\xEF\xBD\xB1", "\x82\x63\x82\x92\x82\x81\x82\x87\xB1"},
    {"mixed", u"PDF\u30D5\u30A1\u30A4\u30EB.pdf", "PDF\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB.pdf",
     "PDF\x83\x74\x83\x40\x83\x43\x83\x8B.pdf"},
    {"empty", u"", "", ""},
};

TEST(CodePages, RoundTripsInUtf8And932) {
  for (const auto& t : kTexts) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(MultiByteToWide(t.utf8, CP_UTF8), t.wide);
    EXPECT_EQ(WideToMultiByte(t.wide, CP_UTF8), t.utf8);
    EXPECT_EQ(MultiByteToWide(t.sjis, CP_SHIFTJIS), t.wide);
    EXPECT_EQ(WideToMultiByte(t.wide, CP_SHIFTJIS), t.sjis);
    {
      tk::test::SystemCodePage cp(CP_SHIFTJIS);
      EXPECT_EQ(GetACP(), 932u);
      EXPECT_EQ(MultiByteToWide(t.sjis), t.wide);
      EXPECT_EQ(WideToMultiByte(t.wide), t.sjis);
    }
    EXPECT_EQ(GetACP(), 65001u);
    EXPECT_EQ(MultiByteToWide(t.utf8), t.wide);
  }
}

TEST(CodePages, ThePlatformCallsCountAndCheckTheirBuffers) {
  const std::string s =
      "\x82\xB1\x82\xF1"
      "a";  // two double-byte characters and "a"
  EXPECT_EQ(MultiByteToWideChar(CP_SHIFTJIS, 0, s.data(), static_cast<int>(s.size()), nullptr, 0), 3);
  char16_t w[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_SHIFTJIS, 0, s.data(), static_cast<int>(s.size()), w, 8), 3);
  EXPECT_EQ(std::u16string(w, 3), u"\u3053\u3093a");
  EXPECT_EQ(MultiByteToWideChar(CP_SHIFTJIS, 0, s.data(), static_cast<int>(s.size()), w, 2), 0);  // too small
  EXPECT_EQ(MultiByteToWideChar(CP_SHIFTJIS, 0, s.c_str(), -1, w, 8), 4);  // with the NUL
  EXPECT_EQ(w[3], u'\0');
  char b[16] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_SHIFTJIS, 0, w, 3, nullptr, 0, nullptr, nullptr), 5);
  EXPECT_EQ(WideCharToMultiByte(CP_SHIFTJIS, 0, w, 3, b, 16, nullptr, nullptr), 5);
  EXPECT_EQ(std::string(b, 5), s);
  EXPECT_EQ(WideCharToMultiByte(CP_SHIFTJIS, 0, w, 3, b, 4, nullptr, nullptr), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "", 0, w, 8), 0);
}

TEST(CodePages, BadBytesAndMissingCharacters) {
  // Bytes that are no text become U+FFFD; strict mode refuses them.
  struct Case {
    const char* name;
    unsigned cp;
    std::string bytes;
    std::u16string wide;
  } cases[] = {
      {"lone UTF-8 continuation", CP_UTF8,
       "a\x80"
       "b",
       u"a\uFFFDb"},
      {"cut UTF-8 sequence at the end", CP_UTF8, "a\xE3\x81", u"a\uFFFD\uFFFD"},
      {"932 lead byte at the end", CP_SHIFTJIS, "a\x82", u"a\uFFFD"},
      {"932 lead byte before a quote", CP_SHIFTJIS, "\x82\"", u"\uFFFD\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MultiByteToWide(c.bytes, c.cp), c.wide);
    char16_t w[8];
    EXPECT_EQ(MultiByteToWideChar(c.cp, MB_ERR_INVALID_CHARS, c.bytes.data(),
                                  static_cast<int>(c.bytes.size()), w, 8),
              0);
  }
  // Characters code page 932 lacks become the default character.
  bool used = false;
  EXPECT_EQ(WideToMultiByte(u"a\u00E9\U0001F600b", CP_SHIFTJIS, &used), "a??b");
  EXPECT_TRUE(used);
  EXPECT_EQ(WideToMultiByte(u"ab", CP_SHIFTJIS, &used), "ab");
  EXPECT_FALSE(used);
  char b[8];
  const char16_t lone[] = {u'x', 0xD800, u'y'};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 3, b, 8, "*", &used), 3);
  EXPECT_EQ(std::string(b, 3), "x*y");
  EXPECT_EQ(WideToMultiByte(u"\U0001F600", CP_UTF8), "\xF0\x9F\x98\x80");
}

TEST(CodePages, LeadBytesAndCharacterLengths) {
  struct Case {
    uint8_t b;
    bool lead932;
  } cases[] = {{0x41, false}, {0x80, false}, {0x81, true}, {0x9F, true}, {0xA0, false},
               {0xB1, false}, {0xDF, false}, {0xE0, true}, {0xFC, true}, {0xFD, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.b));
    EXPECT_EQ(IsDBCSLeadByteEx(CP_SHIFTJIS, c.b), c.lead932);
    EXPECT_FALSE(IsDBCSLeadByteEx(CP_UTF8, c.b));
    EXPECT_FALSE(IsDBCSLeadByte(c.b));  // UTF-8 is the system code page
    tk::test::SystemCodePage cp(CP_SHIFTJIS);
    EXPECT_EQ(IsDBCSLeadByte(c.b), c.lead932);
  }
  {
    tk::test::SystemCodePage cp(CP_SHIFTJIS);
    const std::string s =
        "\x95\x5C"
        "a\x82\"\x82";
    EXPECT_EQ(CharByteLength(s, 0), 2u);  // 0x5C is a trail byte here
    EXPECT_EQ(CharByteLength(s, 2), 1u);
    EXPECT_EQ(CharByteLength(s, 3), 1u);  // a quote is never a trail byte
    EXPECT_EQ(CharByteLength(s, 5), 1u);  // a lead byte at the end
  }
  const std::string u = "a\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80\xE3";
  EXPECT_EQ(CharByteLength(u, 0), 1u);
  EXPECT_EQ(CharByteLength(u, 1), 2u);
  EXPECT_EQ(CharByteLength(u, 3), 3u);
  EXPECT_EQ(CharByteLength(u, 6), 4u);
  EXPECT_EQ(CharByteLength(u, 10), 1u);
  EXPECT_THROW(SetACP(437), EConvertError);
  EXPECT_EQ(GetACP(), 65001u);
}

}  // namespace
