// Threads, an auto-reset event, sleeping, and the thread-affinity checker
// that guards every function that must run on the host thread.
#pragma once

#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace tessor::platform {

// Auto-reset event (the stop event of a link thread).
class CEvent {
 public:
  void Set();
  // Waits until set or the time-out passes; true when it was set.
  bool Wait(int timeout_ms);

 private:
  std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_bSignalled = false;  // guarded by m_lock
};

void SleepMs(int ms);
// Makes this thread's sleeps precise (the 1 ms pauses of the receive path).
void SetPreciseTimers();
uint64_t MonotonicMs();
uint64_t MonotonicUs();

// Records the thread that owns an object and answers whether the caller is it.
class CThreadChecker {
 public:
  CThreadChecker() : m_id(std::this_thread::get_id()) {}
  bool CalledOnValidThread() const { return std::this_thread::get_id() == m_id; }
  void Rebind() { m_id = std::this_thread::get_id(); }
  std::thread::id Owner() const { return m_id; }

 private:
  std::thread::id m_id;
};

}  // namespace tessor::platform

// Thread affinity, written where it must hold.
#define TESSOR_ASSERT_ON_THREAD(checker) assert((checker).CalledOnValidThread())
