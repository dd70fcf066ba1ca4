// NThread: the thread base of a link. Start runs Run() on a new thread;
// Stop marks the object not started and signals the stop event without
// waiting. A thread is started at most once in an object's life.
//
// Every thread started here is kept in a module-wide registry, so that
// module end can wait for all of them before the library's code and its
// static objects go away (JoinAllLinkThreads).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/Thread.h"

namespace tessor {

class NThread {
 public:
  NThread();
  virtual ~NThread();
  NThread(const NThread&) = delete;
  NThread& operator=(const NThread&) = delete;

  virtual int Run() = 0;
  virtual bool SignalStop();

  bool Start();
  bool Stop();
  // Waits until the thread body has returned (m_bRunning 0), at most ms.
  bool WaitForExit(int timeout_ms);
  bool IsRunning() const { return m_bRunning.load() != 0; }
  // Module end: makes the thread leave its loop at once. Any thread.
  virtual void OnModuleEnd() {}

  // The registry id of the thread (0: none) and the stop event.
  uint64_t m_hThread = 0;                           // host thread only
  std::unique_ptr<platform::CEvent> m_hStopEvent;   // host thread only
  std::atomic<int> m_bStarted{0};
  std::atomic<int> m_bRunning{0};  // cleared by the thread as its last access

 protected:
  // Keeps the object alive while its thread runs; links live in shared
  // ownership between their slot and their thread.
  virtual std::shared_ptr<NThread> KeepAlive() = 0;

 private:
  static int ThreadProc(NThread* self);

  std::mutex m_lockExit;              // with m_cvExit: the start and end of the thread body
  std::condition_variable m_cvExit;
  bool m_bEntered = false;            // guarded by m_lockExit
};

// Module end: waits up to timeout_ms for every started link thread and
// joins those that ended. Answers how many were still running.
int JoinAllLinkThreads(int timeout_ms);
// Module end: asks every running thread's object to leave its loop now.
void WakeAllLinkThreads();
// Threads started and not yet ended (tests, soak figures).
int LiveLinkThreads();

}  // namespace tessor
