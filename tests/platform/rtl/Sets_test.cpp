#include "platform/rtl/Sets.h"

#include <gtest/gtest.h>

namespace {

enum TFlag { fA, fB, fC, fD = 63, fE = 64, fLast = 255 };
enum TBad { bNeg = -1, bBig = 256 };
using TFlags = rtl::TSet<TFlag>;

TEST(Sets, IncludeExcludeContains) {
  TFlags s{fA, fE};
  EXPECT_TRUE(s.Contains(fA));
  EXPECT_FALSE(s.Contains(fB));
  EXPECT_TRUE(s.Contains(fE));
  s.Include(fLast).Include(fD).Exclude(fA);
  EXPECT_FALSE(s.Contains(fA));
  EXPECT_TRUE(s.Contains(fLast));
  EXPECT_EQ(s.Count(), 3);
  s.Clear();
  EXPECT_TRUE(s.Empty());
  EXPECT_EQ(TFlags{}.Count(), 0);
}

TEST(Sets, Operators) {
  const TFlags ab{fA, fB}, bc{fB, fC}, d{fD, fE};
  struct Case {
    const char* name;
    TFlags got, want;
  } cases[] = {
      {"union", ab + bc, TFlags{fA, fB, fC}},
      {"difference", ab - bc, TFlags{fA}},
      {"intersection", ab * bc, TFlags{fB}},
      {"disjoint", ab * d, TFlags{}},
      {"across words", d + ab - TFlags{fE}, TFlags{fA, fB, fD}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.got == c.want);
  }
  TFlags x = ab;
  x += d;
  x -= TFlags{fA};
  x *= TFlags{fB, fE};
  EXPECT_TRUE(x == (TFlags{fB, fE}));
  EXPECT_TRUE(x != ab);
  EXPECT_TRUE(TFlags{fB} <= ab);
  EXPECT_FALSE(ab <= bc);
  EXPECT_TRUE(ab >= TFlags{});
  EXPECT_EQ((TFlags{fA, fC, fD}.LowBits()), (1ull << 0) | (1ull << 2) | (1ull << 63));
  static_assert(TFlags{fA, fB}.Contains(fB), "usable in constant expressions");
}

TEST(Sets, ValuesOutOfRangeRaise) {
  rtl::TSet<TBad> s;
  EXPECT_THROW(s.Include(bNeg), rtl::ERangeError);
  EXPECT_THROW(s.Include(bBig), rtl::ERangeError);
  EXPECT_THROW((void)s.Contains(bBig), rtl::ERangeError);
}

}  // namespace
