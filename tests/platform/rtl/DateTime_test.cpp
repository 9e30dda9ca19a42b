#include "platform/rtl/DateTime.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <ctime>

namespace {

using namespace rtl;

TEST(DateTime, EncodeAndDecodeAgree) {
  struct Case {
    int y, m, d;
    double serial;
  } cases[] = {{1899, 12, 30, 0},     {1900, 1, 1, 2},    {1970, 1, 1, 25569},    {2000, 2, 29, 36585},
               {2026, 12, 10, 46366}, {1, 1, 1, -693593}, {9999, 12, 31, 2958465}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serial);
    EXPECT_DOUBLE_EQ(EncodeDate(c.y, c.m, c.d), c.serial);
    int y, m, d;
    DecodeDate(c.serial + 0.75, y, m, d);
    EXPECT_EQ(y, c.y);
    EXPECT_EQ(m, c.m);
    EXPECT_EQ(d, c.d);
  }
  for (auto bad : {std::array<int, 3>{2023, 2, 29}, {2024, 13, 1}, {2024, 4, 31}, {0, 1, 1}, {2024, 1, 0}})
    EXPECT_THROW(EncodeDate(bad[0], bad[1], bad[2]), EConvertError);
  int h, n, s, ms;
  DecodeTime(EncodeDate(2026, 1, 2) + EncodeTime(10, 0, 0, 0), h, n, s, ms);
  EXPECT_EQ(h, 10);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(ms, 0);
  DecodeTime(EncodeTime(23, 59, 58, 999), h, n, s, ms);
  EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + ms, 235958999);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
}

TEST(DateTime, AManualClockReplacesTheSystemClock) {
  TManualClock clock(EncodeDate(2026, 3, 4) + EncodeTime(5, 6, 7, 0), 1000);
  SetClock(&clock);
  EXPECT_DOUBLE_EQ(Date(), EncodeDate(2026, 3, 4));
  EXPECT_NEAR(Time(), EncodeTime(5, 6, 7, 0), 1e-9);
  EXPECT_EQ(GetTickCount(), 1000u);
  Sleep(250);  // no real wait
  EXPECT_EQ(GetTickCount64(), 1250u);
  int h, n, s, ms;
  DecodeTime(Now(), h, n, s, ms);
  EXPECT_EQ(s, 7);
  EXPECT_EQ(ms, 250);
  clock.Advance(uint64_t{1} << 32);
  EXPECT_EQ(GetTickCount(), 1250u);  // the 32-bit count wraps
  SetClock(nullptr);
}

TEST(DateTime, TheSystemClockIsLocalTimeAndMonotonic) {
  time_t t = time(nullptr);
  struct tm lt;
  localtime_r(&t, &lt);
  double expected = EncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday) +
                    EncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec, 0);
  EXPECT_NEAR(Now(), expected, 5.0 / 86400);
  uint64_t a = GetTickCount64();
  Sleep(20);
  uint64_t b = GetTickCount64();
  EXPECT_GE(b - a, 19u);
}

}  // namespace
