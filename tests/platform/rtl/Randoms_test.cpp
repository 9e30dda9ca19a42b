#include "platform/rtl/Randoms.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Random, TheSeedFixesTheSequence) {
  rtl::SetRandSeed(12345);
  std::vector<int32_t> first;
  for (int i = 0; i < 20; ++i) first.push_back(rtl::Random(2147483647));
  rtl::SetRandSeed(12345);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(rtl::Random(2147483647), first[static_cast<size_t>(i)]);
  EXPECT_NE(first[0], first[1]);
  // The state moves with every draw and can be read back.
  rtl::SetRandSeed(7);
  rtl::Random(10);
  EXPECT_NE(rtl::RandSeed(), 7);
}

TEST(Random, RangesAndSpread) {
  rtl::SetRandSeed(1);
  struct Case {
    int32_t range;
  } cases[] = {{1}, {2}, {10}, {2147483647}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.range);
    for (int i = 0; i < 2000; ++i) {
      int32_t v = rtl::Random(c.range);
      ASSERT_GE(v, 0);
      ASSERT_LT(v, c.range);
    }
  }
  EXPECT_EQ(rtl::Random(0), 0);
  EXPECT_EQ(rtl::Random(-5), 0);
  int counts[10] = {};
  for (int i = 0; i < 10000; ++i) ++counts[rtl::Random(10)];
  for (int n : counts) {
    EXPECT_GT(n, 850);
    EXPECT_LT(n, 1150);
  }
  for (int i = 0; i < 1000; ++i) {
    double d = rtl::Random();
    ASSERT_GE(d, 0.0);
    ASSERT_LT(d, 1.0);
  }
}

TEST(Random, RandomizeChangesTheSeed) {
  rtl::SetRandSeed(0);
  rtl::Randomize();
  int32_t a = rtl::RandSeed();
  rtl::Randomize();
  EXPECT_TRUE(a != 0 || rtl::RandSeed() != 0);
}

}  // namespace
