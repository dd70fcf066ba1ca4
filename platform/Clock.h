// Local wall-clock time with milliseconds, read once per use. Tests may
// install a fixed clock.
#pragma once

#include <functional>

namespace tessor::platform {

struct SLocalTime {
  int nYear = 0;
  int nMonth = 0;   // 1-12
  int nDay = 0;     // 1-31
  int nHour = 0;    // 0-23
  int nMinute = 0;
  int nSecond = 0;
  int nMillisecond = 0;
};

SLocalTime GetLocalTime();
// Replaces the clock for tests; an empty function restores the real one.
void SetClockForTest(std::function<SLocalTime()> clock);

}  // namespace tessor::platform
