#include "platform/Thread.h"

#include <sys/prctl.h>
#include <time.h>

namespace tessor::platform {

void CEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bSignalled = true;
  }
  m_cv.notify_one();
}

bool CEvent::Wait(int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_lock);
  bool ok = m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return m_bSignalled; });
  if (ok) m_bSignalled = false;  // auto-reset
  return ok;
}

void SleepMs(int ms) {
  if (ms <= 0) return;
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0) {
  }
}

void SetPreciseTimers() { ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0); }

uint64_t MonotonicMs() { return MonotonicUs() / 1000; }

uint64_t MonotonicUs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000ULL;
}

}  // namespace tessor::platform
