// The host loop: windows, synchronous cross-thread messages and timers,
// bound to the thread that creates them (the host thread).
//
//   receive thread                      host thread
//   --------------                      -----------
//   SendMessage(hwnd, msg) --queue-->   Dispatch(): handler runs
//        waits ...        <--done----   result stored, sender released
//
// A sender carries an optional CSendToken; cancelling the token releases
// its pending send at once (answer 0) and refuses its future sends, so a
// link being torn down never keeps the host thread waiting on it and is
// never delivered late. From the host thread itself a send runs the
// handler directly.
//
// Timers follow SetTimer/KillTimer: periodic until killed, arming an armed
// id re-arms it; they may be armed or killed from any thread, and their
// WM_TIMER runs on the host thread between handlers, never inside one
// (unless a handler runs a nested loop itself).
//
// One process-wide lock (g_lock in HostLoop.cpp) guards the window table,
// every loop's queue and timers; handlers always run with it released.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace tessor::platform {

using HWND = uint32_t;  // 0 is no window
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_MOVE = 0x0003;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr int RUN_UNTIL_SLICE_MS = 10;

class CHostLoop;
class CSendToken;
void CancelSends(const std::shared_ptr<CSendToken>& token);

class CSendToken {
 public:
  bool IsCancelled() const { return m_bCancelled.load(std::memory_order_acquire); }

 private:
  friend void CancelSends(const std::shared_ptr<CSendToken>&);
  std::atomic<bool> m_bCancelled{false};
};

struct SRect {
  int nLeft = 0, nTop = 0, nRight = 0, nBottom = 0;
};

class CWindow {
 public:
  CWindow();
  virtual ~CWindow();
  CWindow(const CWindow&) = delete;
  CWindow& operator=(const CWindow&) = delete;

  // Creates the window on the calling thread's loop (host thread). Sends
  // WM_CREATE; an answer of -1 destroys it again and returns false.
  bool CreateWindowOn(CWindow* pParent);
  // WM_DESTROY to this window, then to its children; kills its timers.
  void DestroyWindow();

  HWND GetSafeHwnd() const { return m_hWnd; }
  CWindow* GetParent() const { return m_pParent; }
  void MoveWindow(int x, int y, int width, int height, bool repaint);
  SRect GetWindowRect() const { return m_rect; }

  // Called with every message for this window, on the host thread.
  virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  friend class CHostLoop;
  HWND m_hWnd = 0;                      // host thread writes; table read under g_lock
  CWindow* m_pParent = nullptr;         // host thread only
  std::vector<CWindow*> m_children;     // host thread only
  std::shared_ptr<CHostLoop> m_pLoop;   // set while created
  SRect m_rect;                         // host thread only
};

// Sends a message and waits until the window's host thread has handled it.
// Answers the handler's result, or 0 when the window is gone, the token is
// cancelled or the loop has ended.
LRESULT SendMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam,
                    const std::shared_ptr<CSendToken>& token = nullptr);
// The token that SendMessage uses on this thread when it is given none (a
// receive thread sets its link's token once, so that every message it
// sends is released when the link is torn down).
void SetThreadSendToken(std::shared_ptr<CSendToken> token);
// True when this thread's send token has been cancelled (its link is
// being torn down): work it still wants to hand over is to be dropped.
bool IsThreadSendCancelled();
// Releases the token's pending send at once and refuses its future sends.
void CancelSends(const std::shared_ptr<CSendToken>& token);
// Releases every pending and future cross-thread send (module end).
void CancelAllSends();

// Timers by id per window; callable from any thread. Answer false when the
// window does not exist.
bool SetTimer(HWND hWnd, uintptr_t id, unsigned elapse_ms);
bool KillTimer(HWND hWnd, uintptr_t id);
bool IsTimerArmed(HWND hWnd, uintptr_t id);

bool IsWindow(HWND hWnd);

class CHostLoop : public std::enable_shared_from_this<CHostLoop> {
 public:
  ~CHostLoop();
  // The loop of the calling thread, created on first use.
  static std::shared_ptr<CHostLoop> ForCurrentThread();

  bool IsLoopThread() const { return std::this_thread::get_id() == m_thread; }

  // Runs due work once without blocking: every queued send, then every
  // timer that is due. Answers the number of handlers run.
  int Dispatch();
  // Milliseconds until the next timer is due (0 when work is waiting),
  // or -1 when nothing is scheduled.
  int NextDeadlineMs();
  // A descriptor that polls readable while work is waiting (eventfd).
  int PollFd() const { return m_nEventFd; }

  // Runs fn at the next Dispatch, on the loop thread (any thread may post).
  void PostTask(std::function<void()> fn);

  void RunFor(int ms);
  // Runs until pred() holds or ms pass; answers pred()'s last value. The
  // predicate is tested after every handler and at least every 10 ms.
  bool RunUntil(const std::function<bool()>& pred, int ms);
  // Runs until Quit() is called from a handler or another thread.
  void Run();
  void Quit();
  // Marks the loop ended (its thread is exiting): pending and future sends
  // to its windows are answered 0.
  void Close();

 private:
  CHostLoop();
  friend class CWindow;
  friend LRESULT SendMessage(HWND, UINT, WPARAM, LPARAM, const std::shared_ptr<CSendToken>&);
  friend bool SetTimer(HWND, uintptr_t, unsigned);
  friend bool KillTimer(HWND, uintptr_t);
  friend bool IsTimerArmed(HWND, uintptr_t);
  friend void CancelSends(const std::shared_ptr<CSendToken>&);
  friend void CancelAllSends();

  struct SSend;
  struct STimer {
    HWND hWnd;
    uintptr_t id;
    unsigned nPeriodMs;
    uint64_t nDueUs;
  };

  void Wake();
  void WaitForWork(int max_ms);

  std::thread::id m_thread;
  int m_nEventFd = -1;
  // Guarded by g_lock:
  std::vector<std::shared_ptr<SSend>> m_queue;
  std::vector<STimer> m_timers;
  std::vector<std::function<void()>> m_tasks;
  bool m_bQuit = false;
  bool m_bClosed = false;
};

}  // namespace tessor::platform
