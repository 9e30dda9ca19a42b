#include "pdf/kvPDFInfo.h"

#include <gtest/gtest.h>

#include "pdf/kvCstPDFDoc.h"

namespace pdf {
namespace {

TEST(ParsePageRange, AcceptedTexts) {
  struct Case {
    const char* text;
    int32_t pageCount;
    TkvPageNumbers want;
  } cases[] = {
      {"", 5, {1, 2, 3, 4, 5}},
      {"3,1-2", 5, {3, 1, 2}},
      {"2,2", 5, {2, 2}},
      {"1,3,5-5", 5, {1, 3, 5}},
      {" 2 , 4 ", 5, {2, 4}},
      {"\"1-2\"", 5, {1, 2}},
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
