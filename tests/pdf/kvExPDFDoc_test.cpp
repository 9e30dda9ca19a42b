// Formatted-text stamping: the markup's runs, and a line stamped on a
// generated document read back by pdftotext.
#include "pdf/kvExPDFDoc.h"

#include <gtest/gtest.h>

#include "pdf/kvPDFObjects.h"
#include "tests/pdf/PdfFixture.h"
#include "tests/support/TestSupport.h"

using namespace pdf;

namespace {

// Each run as text|size|colour|styles (b i u s) for comparing in a table.
std::string Runs(const std::u16string& markup) {
  std::string out;
  for (const TkvFormattedRun& r : ParseFormattedText(markup)) {
    out += out.empty() ? "" : " ";
    out += std::string(r.Text.begin(), r.Text.end()) + "|" + std::to_string(r.Font.Size()) + "|" +
           std::to_string(r.Font.Color) + "|";
    if (r.Font.Style.Contains(graphics::fsBold)) out += "b";
    if (r.Font.Style.Contains(graphics::fsItalic)) out += "i";
    if (r.Font.Style.Contains(graphics::fsUnderline)) out += "u";
    if (r.Font.Style.Contains(graphics::fsStrikeOut)) out += "s";
  }
  return out;
}

}  // namespace

TEST(FormattedText, MarkupCutsIntoRuns) {
  struct Case {
    const char* name;
    std::u16string markup;
    const char* runs;
  } cases[] = {
      {"bold middle", u"one <B>two</B> three", "one |12|0| two|12|0|b  three|12|0|"},
      {"hex and named red", u"<FONT COLOR=#FF0000>a</FONT><font color=\"red\">b", "a|12|255| b|12|255|"},
      {"lower-case size", u"<font size=20>big", "big|20|0|"},
      {"close with default only", u"</FONT>x</font>y", "x|12|0| y|12|0|"},
      {"literal less-than", u"a<b", "a<b|12|0|"},
      {"styles overlap", u"<I>a<U>b</I>c</U>d", "a|12|0|i b|12|0|iu c|12|0|u d|12|0|"},
      {"font keeps style", u"<B><FONT SIZE=9>x</FONT>y", "x|9|0|b y|12|0|b"},
      {"size out of range", u"<FONT SIZE=99999999999>x</FONT><FONT SIZE=0>y</FONT><FONT SIZE=12pt>z",
       "x|1000|0| y|1|0| z|12|0|"},
      {"colour out of range", u"<FONT COLOR=#FFFFFFFFF>x</FONT><FONT COLOR=#GG0000>y", "x|12|0| y|12|0|"},
      {"unquoted face ends at blank", u"<FONT FACE=Serif SIZE=8>x", "x|8|0|"},
      {"unknown attribute skipped", u"<FONT ALIGN=\"left right\" COLOR=blue>x", "x|12|16711680|"},
      {"empty", u"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Runs(c.markup), c.runs);
  }
  EXPECT_EQ(ParseFormattedText(u"<FONT FACE=\"DejaVu Serif\" CHARSET=\"SHIFTJIS_CHARSET\">x")[0].Font.Name,
            "DejaVu Serif");
  EXPECT_EQ(ParseFormattedText(u"<FONT CHARSET=SHIFTJIS_CHARSET>x")[0].Font.Charset, 128);
}

TEST(FormattedText, DeepNestingIsRefusedBeforeAnyPageChanges) {
  std::u16string deep;
  for (int i = 0; i < kMaxFontNesting; ++i) deep += u"<FONT>x";
  EXPECT_THROW(ParseFormattedText(deep), EPDFException);
  deep.resize(deep.size() - 7);
  EXPECT_NO_THROW(ParseFormattedText(deep));
}

TEST(FormattedText, LineIsStampedRunAfterRun) {
  TK_REQUIRE_TOOL("pdftotext");
  TkvExPDFDocument doc;
  const std::string pdf = tk::test::pdf::SimpleDocument(2).Build();
  rtl::TMemoryStream src;
  src.Write(pdf.data(), static_cast<int64_t>(pdf.size()));
  src.SetPosition(0);
  ASSERT_TRUE(doc.LoadFromStream(src));
  doc.ShowSetupDialog = false;
  doc.MeasurementUnit = muMM;
  doc.StampFormattedText(u"", "1", 10, 10);
  EXPECT_EQ(doc.MeasurementUnit, muMM);
  doc.StampFormattedText(u"<FONT FACE=\"DejaVu Sans\">Hello <B>bold</B> world (1)</FONT>", "2", 10, 10);
  EXPECT_EQ(doc.MeasurementUnit, muMM);
  EXPECT_THROW(doc.StampFormattedText(u"x", "3", 10, 10), EInvalidPageError);
  EXPECT_EQ(doc.MeasurementUnit, muMM);
  const tk::test::ScratchDir scratch;
  const auto path = scratch / "formatted.pdf";
  doc.SaveToFile(path.string());
  const std::string page2 = tk::test::RunTool({"pdftotext", "-f", "2", "-l", "2", path.string(), "-"}).out;
  EXPECT_NE(page2.find("Hello bold world (1)"), std::string::npos) << page2;
  EXPECT_EQ(tk::test::RunTool({"pdftotext", "-f", "1", "-l", "1", path.string(), "-"}).out.find("Hello"),
            std::string::npos);
}

// A run after a variable starts where the variable's value ends on each
// page, not where "<%PageNo%>" would have ended.
TEST(FormattedText, RunAfterAVariableFollowsItsValue) {
  TK_REQUIRE_TOOL("pdftotext");
  TkvExPDFDocument doc;
  const std::string pdf = tk::test::pdf::SimpleDocument(12).Build();
  rtl::TMemoryStream src;
  src.Write(pdf.data(), static_cast<int64_t>(pdf.size()));
  src.SetPosition(0);
  ASSERT_TRUE(doc.LoadFromStream(src));
  doc.ShowSetupDialog = false;
  doc.StampFormattedText(
      u"<FONT FACE=\"DejaVu Sans\">P<%PageNo%></FONT><FONT FACE=\"DejaVu Sans\" SIZE=14>X</FONT>", "1,12", 10,
      10);
  const tk::test::ScratchDir scratch;
  const auto path = scratch / "variables.pdf";
  doc.SaveToFile(path.string());
  for (const char* page : {"1", "12"}) {
    const std::string text = tk::test::RunTool({"pdftotext", "-f", page, "-l", page, path.string(), "-"}).out;
    EXPECT_NE(text.find("P" + std::string(page) + "X"), std::string::npos) << page << ": " << text;
  }
}
