#include "platform/HostLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "platform/Thread.h"

namespace tessor::platform {

namespace {

struct SWindowEntry {
  CWindow* pWindow;
  std::shared_ptr<CHostLoop> pLoop;
};

// The layer's state. Never destroyed: receive threads may still send while
// static objects are being torn down at process exit.
struct SGlobals {
  std::mutex lock;
  std::condition_variable cvDone;  // a send finished or was cancelled
  std::unordered_map<HWND, SWindowEntry> windows;
  HWND nNextHwnd = 0x100;
  bool bAllCancelled = false;
};

SGlobals& G() {
  static SGlobals* g = new SGlobals;
  return *g;
}

CWindow* LookupLocked(HWND hWnd, const CHostLoop* loop) {
  auto it = G().windows.find(hWnd);
  if (it == G().windows.end()) return nullptr;
  if (loop != nullptr && it->second.pLoop.get() != loop) return nullptr;
  return it->second.pWindow;
}

}  // namespace

struct CHostLoop::SSend {
  HWND hWnd;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
  std::shared_ptr<CSendToken> token;
  LRESULT result = 0;
  bool bDone = false;  // guarded by g_lock
};

// ---- CWindow -------------------------------------------------------------

CWindow::CWindow() = default;

CWindow::~CWindow() {
  // A derived class destroys its window in its own destructor, while its
  // handler still exists; this only drops a leftover table entry.
  if (m_hWnd != 0) {
    std::lock_guard<std::mutex> guard(G().lock);
    G().windows.erase(m_hWnd);
    m_hWnd = 0;
  }
  if (m_pParent != nullptr) {
    auto& sib = m_pParent->m_children;
    sib.erase(std::remove(sib.begin(), sib.end(), this), sib.end());
  }
  for (CWindow* child : m_children) child->m_pParent = nullptr;
}

bool CWindow::CreateWindowOn(CWindow* pParent) {
  if (m_hWnd != 0) return false;
  std::shared_ptr<CHostLoop> loop = CHostLoop::ForCurrentThread();
  if (pParent != nullptr && pParent->m_pLoop != loop) return false;
  {
    std::lock_guard<std::mutex> guard(G().lock);
    m_hWnd = ++G().nNextHwnd;
    G().windows[m_hWnd] = SWindowEntry{this, loop};
  }
  m_pLoop = loop;
  m_pParent = pParent;
  if (pParent != nullptr) pParent->m_children.push_back(this);
  if (WindowProc(WM_CREATE, 0, 0) == -1) {
    DestroyWindow();
    return false;
  }
  return true;
}

void CWindow::DestroyWindow() {
  if (m_hWnd == 0) return;
  WindowProc(WM_DESTROY, 0, 0);
  std::vector<CWindow*> children = m_children;
  for (CWindow* child : children) child->DestroyWindow();
  {
    std::lock_guard<std::mutex> guard(G().lock);
    G().windows.erase(m_hWnd);
    if (m_pLoop) {
      auto& timers = m_pLoop->m_timers;
      HWND h = m_hWnd;
      timers.erase(std::remove_if(timers.begin(), timers.end(), [h](const CHostLoop::STimer& t) { return t.hWnd == h; }),
                   timers.end());
      // Sends still queued for this window are answered 0.
      auto& q = m_pLoop->m_queue;
      for (auto& item : q) {
        if (item->hWnd == h) item->bDone = true;
      }
      q.erase(std::remove_if(q.begin(), q.end(), [](const std::shared_ptr<CHostLoop::SSend>& s) { return s->bDone; }),
              q.end());
    }
    m_hWnd = 0;
  }
  G().cvDone.notify_all();
  if (m_pParent != nullptr) {
    auto& sib = m_pParent->m_children;
    sib.erase(std::remove(sib.begin(), sib.end(), this), sib.end());
    m_pParent = nullptr;
  }
  m_pLoop.reset();
}

void CWindow::MoveWindow(int x, int y, int width, int height, bool /*repaint*/) {
  m_rect = SRect{x, y, x + width, y + height};
  if (m_hWnd != 0) WindowProc(WM_MOVE, 0, static_cast<LPARAM>(((y & 0xFFFF) << 16) | (x & 0xFFFF)));
}

LRESULT CWindow::WindowProc(UINT, WPARAM, LPARAM) { return 0; }

// ---- sends ---------------------------------------------------------------

namespace {
thread_local std::shared_ptr<CSendToken> t_sendToken;
}

void SetThreadSendToken(std::shared_ptr<CSendToken> token) { t_sendToken = std::move(token); }

bool IsThreadSendCancelled() {
  if (t_sendToken && t_sendToken->IsCancelled()) return true;
  std::lock_guard<std::mutex> guard(G().lock);
  return G().bAllCancelled;
}

LRESULT SendMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam, const std::shared_ptr<CSendToken>& given) {
  const std::shared_ptr<CSendToken>& token = given ? given : t_sendToken;
  std::unique_lock<std::mutex> lock(G().lock);
  auto it = G().windows.find(hWnd);
  if (it == G().windows.end()) return 0;
  std::shared_ptr<CHostLoop> loop = it->second.pLoop;
  if (loop->IsLoopThread()) {
    CWindow* w = it->second.pWindow;
    lock.unlock();
    return w->WindowProc(msg, wParam, lParam);
  }
  auto released = [&] { return G().bAllCancelled || (token && token->IsCancelled()) || loop->m_bClosed; };
  if (released()) return 0;
  auto item = std::make_shared<CHostLoop::SSend>();
  item->hWnd = hWnd;
  item->msg = msg;
  item->wParam = wParam;
  item->lParam = lParam;
  item->token = token;
  loop->m_queue.push_back(item);
  loop->Wake();
  // The item is shared: when the wait is released early the host thread
  // may still be running the handler and writes its result into the item.
  G().cvDone.wait(lock, [&] { return item->bDone || released(); });
  return item->bDone ? item->result : 0;
}

void CancelSends(const std::shared_ptr<CSendToken>& token) {
  if (!token) return;
  {
    std::lock_guard<std::mutex> guard(G().lock);
    token->m_bCancelled.store(true, std::memory_order_release);
    for (auto& entry : G().windows) {
      auto& q = entry.second.pLoop->m_queue;
      q.erase(std::remove_if(q.begin(), q.end(),
                             [&](const std::shared_ptr<CHostLoop::SSend>& s) { return s->token == token; }),
              q.end());
    }
  }
  G().cvDone.notify_all();
}

void CancelAllSends() {
  {
    std::lock_guard<std::mutex> guard(G().lock);
    G().bAllCancelled = true;
  }
  G().cvDone.notify_all();
}

bool IsWindow(HWND hWnd) {
  std::lock_guard<std::mutex> guard(G().lock);
  return G().windows.count(hWnd) != 0;
}

// ---- timers --------------------------------------------------------------

bool SetTimer(HWND hWnd, uintptr_t id, unsigned elapse_ms) {
  std::shared_ptr<CHostLoop> loop;
  {
    std::lock_guard<std::mutex> guard(G().lock);
    auto it = G().windows.find(hWnd);
    if (it == G().windows.end()) return false;
    loop = it->second.pLoop;
    uint64_t due = MonotonicUs() + static_cast<uint64_t>(elapse_ms) * 1000ULL;
    auto& timers = loop->m_timers;
    auto t = std::find_if(timers.begin(), timers.end(),
                          [&](const CHostLoop::STimer& x) { return x.hWnd == hWnd && x.id == id; });
    if (t != timers.end()) {
      t->nPeriodMs = elapse_ms;
      t->nDueUs = due;
    } else {
      timers.push_back(CHostLoop::STimer{hWnd, id, elapse_ms, due});
    }
  }
  loop->Wake();  // the loop recomputes its next deadline
  return true;
}

bool KillTimer(HWND hWnd, uintptr_t id) {
  std::lock_guard<std::mutex> guard(G().lock);
  auto it = G().windows.find(hWnd);
  if (it == G().windows.end()) return false;
  auto& timers = it->second.pLoop->m_timers;
  auto t = std::find_if(timers.begin(), timers.end(),
                        [&](const CHostLoop::STimer& x) { return x.hWnd == hWnd && x.id == id; });
  if (t == timers.end()) return false;
  timers.erase(t);
  return true;
}

bool IsTimerArmed(HWND hWnd, uintptr_t id) {
  std::lock_guard<std::mutex> guard(G().lock);
  auto it = G().windows.find(hWnd);
  if (it == G().windows.end()) return false;
  for (const auto& t : it->second.pLoop->m_timers)
    if (t.hWnd == hWnd && t.id == id) return true;
  return false;
}

// ---- the loop --------------------------------------------------------------

namespace {
// Marks the thread's loop closed when the thread ends, so that senders to
// a window whose host thread is gone are released.
struct SLoopHolder {
  std::shared_ptr<CHostLoop> loop;
  ~SLoopHolder();
};
thread_local SLoopHolder t_loop;
}  // namespace

std::shared_ptr<CHostLoop> CHostLoop::ForCurrentThread() {
  if (!t_loop.loop) t_loop.loop = std::shared_ptr<CHostLoop>(new CHostLoop());
  return t_loop.loop;
}

CHostLoop::CHostLoop() : m_thread(std::this_thread::get_id()) {
  m_nEventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CHostLoop::~CHostLoop() {
  if (m_nEventFd >= 0) ::close(m_nEventFd);
}

namespace {
SLoopHolder::~SLoopHolder() {
  if (!loop) return;
  loop->Close();
}
}  // namespace

void CHostLoop::Wake() {
  if (m_nEventFd < 0) return;
  uint64_t one = 1;
  ssize_t n = ::write(m_nEventFd, &one, sizeof(one));
  (void)n;
}

int CHostLoop::Dispatch() {
  if (m_nEventFd >= 0) {
    uint64_t value;
    ssize_t n = ::read(m_nEventFd, &value, sizeof(value));
    (void)n;
  }
  int handled = 0;
  for (;;) {
    std::shared_ptr<SSend> item;
    CWindow* w = nullptr;
    {
      std::lock_guard<std::mutex> guard(G().lock);
      if (m_queue.empty()) break;
      item = m_queue.front();
      m_queue.erase(m_queue.begin());
      w = LookupLocked(item->hWnd, this);
    }
    LRESULT result = w != nullptr ? w->WindowProc(item->msg, item->wParam, item->lParam) : 0;
    {
      std::lock_guard<std::mutex> guard(G().lock);
      item->result = result;
      item->bDone = true;
    }
    G().cvDone.notify_all();
    ++handled;
  }
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> guard(G().lock);
    tasks.swap(m_tasks);
  }
  for (auto& task : tasks) {
    task();
    ++handled;
  }
  // Each timer that is due now fires once in this pass.
  uint64_t now = MonotonicUs();
  std::vector<std::pair<HWND, uintptr_t>> due;
  {
    std::lock_guard<std::mutex> guard(G().lock);
    for (const auto& t : m_timers)
      if (t.nDueUs <= now) due.emplace_back(t.hWnd, t.id);
  }
  for (const auto& entry : due) {
    const HWND hWnd = entry.first;
    const uintptr_t id = entry.second;
    CWindow* w = nullptr;
    {
      std::lock_guard<std::mutex> guard(G().lock);
      auto t = std::find_if(m_timers.begin(), m_timers.end(),
                            [&](const STimer& x) { return x.hWnd == hWnd && x.id == id; });
      if (t == m_timers.end() || t->nDueUs > now) continue;  // killed or re-armed meanwhile
      t->nDueUs = now + static_cast<uint64_t>(t->nPeriodMs) * 1000ULL;
      w = LookupLocked(hWnd, this);
    }
    if (w != nullptr) {
      w->WindowProc(WM_TIMER, id, 0);
      ++handled;
    }
  }
  return handled;
}

void CHostLoop::PostTask(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> guard(G().lock);
    m_tasks.push_back(std::move(fn));
  }
  Wake();
}

int CHostLoop::NextDeadlineMs() {
  std::lock_guard<std::mutex> guard(G().lock);
  if (!m_queue.empty() || !m_tasks.empty()) return 0;
  if (m_timers.empty()) return -1;
  uint64_t now = MonotonicUs();
  uint64_t best = UINT64_MAX;
  for (const auto& t : m_timers) best = std::min(best, t.nDueUs);
  if (best <= now) return 0;
  return static_cast<int>((best - now + 999) / 1000);
}

void CHostLoop::WaitForWork(int max_ms) {
  int next = NextDeadlineMs();
  int wait = max_ms;
  if (next >= 0 && (wait < 0 || next < wait)) wait = next;
  if (wait == 0) return;
  pollfd p{m_nEventFd, POLLIN, 0};
  ::poll(&p, 1, wait);
}

void CHostLoop::RunFor(int ms) {
  uint64_t deadline = MonotonicUs() + static_cast<uint64_t>(ms < 0 ? 0 : ms) * 1000ULL;
  for (;;) {
    Dispatch();
    uint64_t now = MonotonicUs();
    if (now >= deadline) break;
    WaitForWork(static_cast<int>((deadline - now + 999) / 1000));
  }
}

bool CHostLoop::RunUntil(const std::function<bool()>& pred, int ms) {
  uint64_t deadline = MonotonicUs() + static_cast<uint64_t>(ms < 0 ? 0 : ms) * 1000ULL;
  for (;;) {
    if (pred()) return true;
    Dispatch();
    if (pred()) return true;
    uint64_t now = MonotonicUs();
    if (now >= deadline) return false;
    // The predicate may also be changed by another thread, which does not
    // wake the loop: look again at least every RUN_UNTIL_SLICE_MS.
    int left = static_cast<int>((deadline - now + 999) / 1000);
    WaitForWork(left < RUN_UNTIL_SLICE_MS ? left : RUN_UNTIL_SLICE_MS);
  }
}

void CHostLoop::Run() {
  {
    std::lock_guard<std::mutex> guard(G().lock);
    m_bQuit = false;
  }
  for (;;) {
    Dispatch();
    {
      std::lock_guard<std::mutex> guard(G().lock);
      if (m_bQuit) break;
    }
    WaitForWork(-1);
  }
}

void CHostLoop::Close() {
  {
    std::lock_guard<std::mutex> guard(G().lock);
    m_bClosed = true;
    m_bQuit = true;
    for (auto& item : m_queue) item->bDone = true;
    m_queue.clear();
  }
  G().cvDone.notify_all();
}

void CHostLoop::Quit() {
  {
    std::lock_guard<std::mutex> guard(G().lock);
    m_bQuit = true;
  }
  Wake();
}

}  // namespace tessor::platform
