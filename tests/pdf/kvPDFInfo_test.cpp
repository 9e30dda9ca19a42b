#include "pdf/kvPDFInfo.h"

#include <gtest/gtest.h>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFDoc.h"
#include "pdf/kvPDFObjects.h"

namespace pdf {
namespace {

TEST(ParsePageRange, AcceptedTexts) {
  struct Case {
    const char* text;
    int32_t pageCount;
    TkvPageNumbers want;
  } cases[] = {
      {"", 5, {1, 2, 3, 4, 5}},  {"3,1-2", 5, {3, 1, 2}}, {"2,2", 5, {2, 2}},
      {"1,3,5-5", 5, {1, 3, 5}}, {" 2 , 4 ", 5, {2, 4}},  {"\"1-2\"", 5, {1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TkvPageNumbers pages;
    ParsePageRange(c.text, c.pageCount, pages);
    EXPECT_EQ(pages, c.want);
  }
}

TEST(ParsePageRange, Errors) {
  struct Case {
    const char* text;
    int32_t pageCount;
    bool pageError;  // EInvalidPageError (else the conversion error)
    const char* message;
  } cases[] = {
      {"", 0, true, "Invalid page range (1-0)"},
      {"0", 5, true, "Invalid page number (0)"},
      {"6", 5, true, "Invalid page number (6)"},
      {"4-2", 5, true, "Invalid page range (4-2)"},
      {"2-9", 5, true, "Invalid page range (2-9)"},
      {"0-2", 5, true, "Invalid page range (0-2)"},
      {"x", 5, true, "Invalid page range (x)"},
      {"1,,2", 5, true, "Invalid page range ()"},
      {"1,", 5, true, "Invalid page range ()"},
      {"1 - 3", 5, false, "'' is not a valid integer value"},
      {"a-3", 5, false, "'a' is not a valid integer value"},
      {"$1-3", 5, false, "'$1' is not a valid integer value"},
      {"0x2", 5, true, "Invalid page range (0x2)"},
      {"1- 3", 5, false, "'' is not a valid integer value"},
      {"99999999999", 5, true, "Invalid page range (99999999999)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TkvPageNumbers pages;
    try {
      ParsePageRange(c.text, c.pageCount, pages);
      ADD_FAILURE() << "no exception";
    } catch (const EInvalidPageError& e) {
      EXPECT_TRUE(c.pageError);
      EXPECT_EQ(e.Message, c.message);
    } catch (const rtl::EConvertError& e) {
      EXPECT_FALSE(c.pageError);
      EXPECT_EQ(e.Message, c.message);
    }
  }
}

TEST(ParsePageRange, KeepsNumbersBeforeTheFailingItem) {
  TkvPageNumbers pages;
  EXPECT_THROW(ParsePageRange("1,2,9", 5, pages), EInvalidPageError);
  EXPECT_EQ(pages, (TkvPageNumbers{1, 2}));
}

TEST(SplitCommaText, LikeAStringList) {
  EXPECT_EQ(SplitCommaText("a, b  c"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(SplitCommaText("\"a b\",c"), (std::vector<std::string>{"a b", "c"}));
  EXPECT_EQ(SplitCommaText("a,,b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitCommaText(""), std::vector<std::string>{});
}

TEST(MeasurementUnit, Conversions) {
  EXPECT_DOUBLE_EQ(PointsToUnit(muMM, 595), 595 / 2.835);
  EXPECT_DOUBLE_EQ(PointsToUnit(muInches, 612), 8.5);
  EXPECT_DOUBLE_EQ(PointsToUnit(muTwips, 1), 20);
  EXPECT_DOUBLE_EQ(PointsToUnit(muPoints, 13.5), 13.5);
  EXPECT_DOUBLE_EQ(PointsToUnit(static_cast<TkvMeasurementUnit>(9), 7), 7);
  EXPECT_NEAR(PointsToUnit(muMM, 612), 215.87, 0.005);
  EXPECT_NEAR(PointsToUnit(muMM, 792), 279.37, 0.005);
  for (auto u : {muPixels, muPoints, muInches, muMM, muTwips}) {
    SCOPED_TRACE(static_cast<int>(u));
    EXPECT_NEAR(UnitToPoints(u, PointsToUnit(u, 595.0)), 595.0, 1e-9);
  }
}

}  // namespace
}  // namespace pdf

namespace pdf {
namespace {

TEST(PDFInfo, ReadsStringsOfTheDictionary) {
  struct Case {
    const char* name;
    std::string text;
    bool hex;
    std::u16string want;
  } cases[] = {
      {"plain", "(Report (final))", false, u"Report (final)"},
      {"utf16", std::string("(\xFE\xFF\x00\x41\x00\x62)", 8), false, u"Ab"},
      {"hex", "<FEFF00410042>", true, u"AB"},
      {"hex plain", "<414243>", true, u"ABC"},
      {"empty", "()", false, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TkvPDFInfo info(nullptr);
    auto dict = std::make_unique<TkvPDFDictObject>();
    dict->AddEntry("/Creator", std::make_unique<TkvPDFNameObject>("/NotAString"));
    dict->AddEntry("/Keywords", std::make_unique<TkvPDFStringObject>(c.text, c.hex));
    info.SetInfoDictionary(std::move(dict));
    EXPECT_EQ(info.Keywords(), c.want);
    EXPECT_EQ(info.Creator(), u"");  // a wrong type reads as empty
    EXPECT_EQ(info.Title(), u"");
  }
}

TEST(PDFInfo, SetValueWinsAndIsStoredAsUtf16) {
  TkvPDFInfo info(nullptr);
  auto dict = std::make_unique<TkvPDFDictObject>();
  dict->AddEntry("/Title", std::make_unique<TkvPDFStringObject>("(old)"));
  info.SetInfoDictionary(std::move(dict));
  info.SetTitle(u"New (draft) \\ x");
  EXPECT_EQ(info.Title(), u"New (draft) \\ x");
  ASSERT_EQ(info.InfoDictionary()->Count(), 1);
  auto* s = dynamic_cast<TkvPDFStringObject*>(info.InfoDictionary()->Find("/Title"));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Content().substr(0, 4), std::string("\xFE\xFF\x00N", 4));
  EXPECT_EQ(DecodeTextString(*s), u"New (draft) \\ x");
  info.SetCreationDate("D:20260101120000Z");
  EXPECT_EQ(info.CreationDate(), "D:20260101120000Z");
  EXPECT_EQ(info.InfoDictionary()->Find("/CreationDate")->As<TkvPDFStringObject>().Content(),
            "D:20260101120000Z");
}

TEST(PDFInfo, DocumentGetsAFreshRecordOnClose) {
  TkvPDFDocument doc;
  doc.DocInfo->SetAuthor(u"me");
  doc.CloseDocument();
  EXPECT_EQ(doc.DocInfo->Author(), u"");
  EXPECT_EQ(doc.DocInfo->Document(), &doc);
}

}  // namespace
}  // namespace pdf
