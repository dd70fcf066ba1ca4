#include "link/NThread.h"

#include <list>

#include "platform/HostLoop.h"
#include <vector>
#include <thread>

namespace tessor {

namespace {

struct SThreadRecord {
  uint64_t nId;
  std::thread thread;
  std::weak_ptr<NThread> wpObject;
  bool bDone = false;  // guarded by SRegistry::lock
};

// Never destroyed: threads finish after static destruction may have begun.
struct SRegistry {
  std::mutex lock;
  std::condition_variable cv;
  std::list<SThreadRecord> threads;  // guarded by lock
  uint64_t nNextId = 1;
};

SRegistry& R() {
  static SRegistry* r = new SRegistry;
  return *r;
}

// Joins threads that have ended; their join returns at once.
void ReapLocked(std::list<std::thread>& out) {
  for (auto it = R().threads.begin(); it != R().threads.end();) {
    if (it->bDone) {
      out.push_back(std::move(it->thread));
      it = R().threads.erase(it);
    } else {
      ++it;
    }
  }
}

void JoinList(std::list<std::thread>& list) {
  for (auto& t : list) {
    if (t.joinable()) {
      if (t.get_id() == std::this_thread::get_id())
        t.detach();
      else
        t.join();
    }
  }
}

}  // namespace

NThread::NThread() = default;

NThread::~NThread() {
  // The remaining steps of Stop; the thread itself is joined by the registry.
  if (m_bStarted.load()) {
    m_bStarted = 0;
    SignalStop();
  }
}

bool NThread::SignalStop() {
  if (m_hStopEvent) m_hStopEvent->Set();
  return true;
}

int NThread::ThreadProc(NThread* self) {
  int rc = self->Run();
  {
    std::lock_guard<std::mutex> guard(self->m_lockExit);
    self->m_bRunning = 0;  // the thread's last access to the object
  }
  self->m_cvExit.notify_all();
  return rc;
}

bool NThread::Start() {
  if (m_bStarted.load()) return false;
  m_bStarted = 1;
  m_bRunning = 1;
  m_hStopEvent = std::make_unique<platform::CEvent>();
  std::shared_ptr<NThread> keep = KeepAlive();
  std::list<std::thread> finished;
  std::lock_guard<std::mutex> guard(R().lock);
  ReapLocked(finished);
  uint64_t id = R().nNextId++;
  R().threads.push_back(SThreadRecord{id, std::thread(), keep, false});
  SThreadRecord& record = R().threads.back();
  try {
    record.thread = std::thread([this, keep, id]() mutable {
      // Touching the thread's own state registers its clean-up with the C
      // library, which from then on keeps this library loaded until the
      // thread ends; Start returns only after that.
      platform::SetThreadSendToken(nullptr);
      {
        std::lock_guard<std::mutex> g(m_lockExit);
        m_bEntered = true;
      }
      m_cvExit.notify_all();
      ThreadProc(this);
      keep.reset();  // may release the object, on this thread
      {
        std::lock_guard<std::mutex> g(R().lock);
        for (auto& r : R().threads)
          if (r.nId == id) r.bDone = true;
      }
      R().cv.notify_all();
    });
  } catch (...) {
    R().threads.pop_back();
    m_bRunning = 0;
    return false;  // m_bStarted stays 1
  }
  m_hThread = id;
  {
    std::unique_lock<std::mutex> lock(m_lockExit);
    m_cvExit.wait(lock, [this] { return m_bEntered; });
  }
  // Joining ended threads outside the registry lock is not needed: they
  // have finished, so join returns at once.
  JoinList(finished);
  return true;
}

bool NThread::Stop() {
  if (!m_bStarted.load()) return false;
  m_bStarted = 0;
  SignalStop();
  m_hThread = 0;
  return true;
}

bool NThread::WaitForExit(int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_lockExit);
  return m_cvExit.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return m_bRunning.load() == 0; });
}

int JoinAllLinkThreads(int timeout_ms) {
  std::list<std::thread> finished;
  int still;
  {
    std::unique_lock<std::mutex> lock(R().lock);
    R().cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [] {
      for (auto& r : R().threads)
        if (!r.bDone) return false;
      return true;
    });
    ReapLocked(finished);
    still = static_cast<int>(R().threads.size());
  }
  JoinList(finished);
  return still;
}

void WakeAllLinkThreads() {
  std::vector<std::shared_ptr<NThread>> objects;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    for (auto& r : R().threads)
      if (!r.bDone)
        if (auto p = r.wpObject.lock()) objects.push_back(std::move(p));
  }
  for (auto& p : objects) p->OnModuleEnd();
}

int LiveLinkThreads() {
  std::lock_guard<std::mutex> guard(R().lock);
  int n = 0;
  for (auto& r : R().threads)
    if (!r.bDone) ++n;
  return n;
}

}  // namespace tessor
