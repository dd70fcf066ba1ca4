// Waiting on a condition in tests: poll it every millisecond up to a
// deadline. Deadlines in tests are generous; they only bound a failure.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Thread.h"

namespace tessor {

inline bool WaitUntil(const std::function<bool()>& pred, int timeout_ms) {
  const uint64_t deadline = platform::MonotonicMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (platform::MonotonicMs() >= deadline) return pred();
    platform::SleepMs(1);
  }
}

}  // namespace tessor
