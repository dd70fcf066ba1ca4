#include "platform/Clock.h"

#include <atomic>
#include <mutex>
#include <time.h>

namespace tessor::platform {

namespace {
// The override is test-only; its flag keeps the common path lock-free.
std::atomic<bool> g_bClockOverride{false};
std::mutex& OverrideLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: used at exit
  return *lock;
}
std::function<SLocalTime()>& OverrideFn() {
  static auto* fn = new std::function<SLocalTime()>;
  return *fn;
}
}  // namespace

SLocalTime GetLocalTime() {
  if (g_bClockOverride.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(OverrideLock());
    if (OverrideFn()) return OverrideFn()();
  }
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  time_t secs = ts.tv_sec;
  ::localtime_r(&secs, &parts);
  SLocalTime t;
  t.nYear = parts.tm_year + 1900;
  t.nMonth = parts.tm_mon + 1;
  t.nDay = parts.tm_mday;
  t.nHour = parts.tm_hour;
  t.nMinute = parts.tm_min;
  t.nSecond = parts.tm_sec;
  t.nMillisecond = static_cast<int>(ts.tv_nsec / 1000000L);
  return t;
}

void SetClockForTest(std::function<SLocalTime()> clock) {
  std::lock_guard<std::mutex> guard(OverrideLock());
  OverrideFn() = std::move(clock);
  g_bClockOverride.store(static_cast<bool>(OverrideFn()), std::memory_order_release);
}

}  // namespace tessor::platform
