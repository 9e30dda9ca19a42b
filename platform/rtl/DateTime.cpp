#include "platform/rtl/DateTime.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cmath>

namespace rtl {

namespace {
TSystemClock g_systemClock;
std::atomic<TClock*> g_clock{nullptr};

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Days from 0001-01-01 to the date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;  // days since 1970-01-01
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

constexpr int64_t kUnixEpochDays = 25569;  // 1970-01-01 as a TDateTime
}  // namespace

TDateTime TSystemClock::Now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixTimeToDateTime(ts.tv_sec, ts.tv_nsec);
}

uint64_t TSystemClock::TickCount() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void TSystemClock::Sleep(uint32_t milliseconds) {
  struct timespec ts {
    static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
  };
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

TClock& Clock() {
  TClock* c = g_clock.load();
  return c ? *c : g_systemClock;
}

void SetClock(TClock* clock) {
  g_clock.store(clock);
}

TDateTime Now() {
  return Clock().Now();
}
TDateTime Date() {
  return std::floor(Now());
}
TDateTime Time() {
  TDateTime t = Now();
  return t - std::floor(t);
}
uint32_t GetTickCount() {
  return static_cast<uint32_t>(Clock().TickCount());
}
uint64_t GetTickCount64() {
  return Clock().TickCount();
}
void Sleep(uint32_t milliseconds) {
  Clock().Sleep(milliseconds);
}

TDateTime EncodeDate(int year, int month, int day) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0))
    throw EConvertError("Invalid argument to date encode");
  return static_cast<double>(DaysFromCivil(year, month, day) + kUnixEpochDays);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999)
    throw EConvertError("Invalid argument to time encode");
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
}

void DecodeDate(TDateTime t, int& year, int& month, int& day) {
  CivilFromDays(static_cast<int64_t>(std::floor(t)) - kUnixEpochDays, year, month, day);
}

void DecodeTime(TDateTime t, int& hour, int& minute, int& second, int& millisecond) {
  // Rounded to the millisecond, so that 10:00 does not come out as 9:59:59.999.
  double frac = t - std::floor(t);
  int64_t ms = static_cast<int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) ms = 86399999;
  hour = static_cast<int>(ms / 3600000);
  minute = static_cast<int>(ms / 60000 % 60);
  second = static_cast<int>(ms / 1000 % 60);
  millisecond = static_cast<int>(ms % 1000);
}

}  // namespace rtl
