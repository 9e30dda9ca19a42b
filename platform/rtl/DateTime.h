// Date, time and the clock. Everything that asks for the time goes through
// the process-wide clock object, which a test replaces with a TManualClock
// so that no result depends on the wall clock.
#pragma once

#include <cstdint>

#include "platform/rtl/SysUtils.h"

namespace rtl {

class TClock {
 public:
  virtual ~TClock() = default;
  // Local date and time.
  virtual TDateTime Now() = 0;
  // Milliseconds of a monotonic clock.
  virtual uint64_t TickCount() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// The real clock.
class TSystemClock : public TClock {
 public:
  TDateTime Now() override;
  uint64_t TickCount() override;
  void Sleep(uint32_t milliseconds) override;
};

// A clock that stands still until told; Sleep advances it at once.
class TManualClock : public TClock {
 public:
  explicit TManualClock(TDateTime now = 0, uint64_t ticks = 0) : now_(now), ticks_(ticks) {}
  TDateTime Now() override { return now_; }
  uint64_t TickCount() override { return ticks_; }
  void Sleep(uint32_t milliseconds) override { Advance(milliseconds); }
  void SetNow(TDateTime now) { now_ = now; }
  void Advance(uint64_t milliseconds) {
    ticks_ += milliseconds;
    now_ += static_cast<double>(milliseconds) / 86400000.0;
  }

 private:
  TDateTime now_;
  uint64_t ticks_;
};

// The clock in use (borrowed); nullptr puts the system clock back.
TClock& Clock();
void SetClock(TClock* clock);

TDateTime Now();
TDateTime Date();  // today at midnight
TDateTime Time();  // the time of day only
// Milliseconds since some start; the 32-bit form wraps like the design's.
uint32_t GetTickCount();
uint64_t GetTickCount64();
void Sleep(uint32_t milliseconds);

// Raise EConvertError for a date or time that does not exist.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
void DecodeDate(TDateTime t, int& year, int& month, int& day);
void DecodeTime(TDateTime t, int& hour, int& minute, int& second, int& millisecond);

}  // namespace rtl
