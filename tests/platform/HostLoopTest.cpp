#include "platform/HostLoop.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/support/Wait.h"

namespace tessor::platform {
namespace {

constexpr UINT WM_TEST = WM_USER + 1;

// Records what reaches it and on which thread.
class CRecorder : public CWindow {
 public:
  ~CRecorder() override { DestroyWindow(); }
  LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_TEST) {
      m_bOffThread = m_bOffThread || std::this_thread::get_id() != m_host;
      m_nHandled++;
      if (m_onTest) m_onTest();
      return lParam * 2;
    }
    if (msg == WM_TIMER) {
      m_bOffThread = m_bOffThread || std::this_thread::get_id() != m_host;
      m_timerIds.push_back(wParam);
      if (m_onTimer) m_onTimer(wParam);
      return 0;
    }
    return CWindow::WindowProc(msg, wParam, lParam);
  }
  std::thread::id m_host = std::this_thread::get_id();
  std::atomic<int> m_nHandled{0};
  bool m_bOffThread = false;
  std::vector<uintptr_t> m_timerIds;
  std::function<void()> m_onTest;
  std::function<void(uintptr_t)> m_onTimer;
};

TEST(HostLoop, CrossThreadSendBlocksUntilHandledAndReturnsTheResult) {
  CRecorder w;
  ASSERT_TRUE(w.CreateWindowOn(nullptr));
  auto loop = CHostLoop::ForCurrentThread();
  std::atomic<bool> returned{false};
  LRESULT result = 0;
  std::thread sender([&] {
    result = SendMessage(w.GetSafeHwnd(), WM_TEST, 0, 21);
    returned = true;
  });
  // Queued, and not handled until the host thread runs its loop.
  ASSERT_TRUE(WaitUntil([&] { return loop->NextDeadlineMs() == 0; }, 5000));
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(loop->RunUntil([&] { return returned.load(); }, 5000));
  sender.join();
  EXPECT_EQ(result, 42);
  EXPECT_EQ(w.m_nHandled.load(), 1);
  EXPECT_FALSE(w.m_bOffThread);
}

TEST(HostLoop, SameThreadSendRunsTheHandlerDirectly) {
  CRecorder w;
  ASSERT_TRUE(w.CreateWindowOn(nullptr));
  EXPECT_EQ(SendMessage(w.GetSafeHwnd(), WM_TEST, 0, 5), 10);
  EXPECT_EQ(w.m_nHandled.load(), 1);
}

TEST(HostLoop, CancelledSendsReturnAtOnceAndLaterOnesAreRefused) {
  CRecorder w;
  ASSERT_TRUE(w.CreateWindowOn(nullptr));
  auto token = std::make_shared<CSendToken>();
  std::atomic<bool> returned{false};
  LRESULT result = -1;
  std::thread sender([&] {
    result = SendMessage(w.GetSafeHwnd(), WM_TEST, 0, 1, token);
    returned = true;
  });
  auto loop = CHostLoop::ForCurrentThread();
  ASSERT_TRUE(WaitUntil([&] { return loop->NextDeadlineMs() == 0; }, 5000));  // queued
  CancelSends(token);  // the host thread never pumps: the sender must still return
  sender.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(result, 0);
  std::thread later([&] { result = SendMessage(w.GetSafeHwnd(), WM_TEST, 0, 1, token); });
  later.join();
  EXPECT_EQ(result, 0);
  loop->RunFor(20);
  EXPECT_EQ(w.m_nHandled.load(), 0);  // nothing is delivered late
}

TEST(HostLoop, ThreadTokenCancelsSendsWithoutAnExplicitToken) {
  CRecorder w;
  ASSERT_TRUE(w.CreateWindowOn(nullptr));
  auto token = std::make_shared<CSendToken>();
  LRESULT result = -1;
  bool cancelledSeen = false;
  std::thread sender([&] {
    SetThreadSendToken(token);
    result = SendMessage(w.GetSafeHwnd(), WM_TEST, 0, 1);
    cancelledSeen = IsThreadSendCancelled();
    SetThreadSendToken(nullptr);
  });
  auto loop = CHostLoop::ForCurrentThread();
  ASSERT_TRUE(WaitUntil([&] { return loop->NextDeadlineMs() == 0; }, 5000));
  CancelSends(token);
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(cancelledSeen);
}

TEST(HostLoop, SendToADestroyedWindowAnswersZero) {
  HWND gone;
  {
    CRecorder w;
    ASSERT_TRUE(w.CreateWindowOn(nullptr));
    gone = w.GetSafeHwnd();
  }
  LRESULT result = -1;
  std::thread sender([&] { result = SendMessage(gone, WM_TEST, 0, 1); });
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(IsWindow(gone));
}

TEST(HostLoop, PeriodicAndReArmedOneShotTimersFireOnTheHostThread) {
  CRecorder w;
  ASSERT_TRUE(w.CreateWindowOn(nullptr));
  const HWND h = w.GetSafeHwnd();
  int oneShots = 0;
  w.m_onTimer = [&](uintptr_t id) {
    if (id == 2) {
      KillTimer(h, 2);  // one-shot use: killed as it fires
      if (++oneShots < 3) SetTimer(h, 2, 10);  // re-armed from its own callback
    }
  };
  ASSERT_TRUE(SetTimer(h, 1, 10));
  ASSERT_TRUE(SetTimer(h, 2, 10));
  auto loop = CHostLoop::ForCurrentThread();
  auto count = [&](uintptr_t id) { return std::count(w.m_timerIds.begin(), w.m_timerIds.end(), id); };
  EXPECT_TRUE(loop->RunUntil([&] { return count(1) >= 5 && oneShots == 3; }, 5000));
  loop->RunFor(50);
  EXPECT_EQ(count(2), 3);
  EXPECT_FALSE(IsTimerArmed(h, 2));
  EXPECT_TRUE(IsTimerArmed(h, 1));
  EXPECT_FALSE(w.m_bOffThread);
}

TEST(HostLoop, TimerArmedFromAnotherThreadRunsOnTheHostThread) {
  CRecorder w;
  ASSERT_TRUE(w.CreateWindowOn(nullptr));
  std::thread armer([&] { SetTimer(w.GetSafeHwnd(), 7, 5); });
  armer.join();
  EXPECT_TRUE(CHostLoop::ForCurrentThread()->RunUntil([&] { return !w.m_timerIds.empty(); }, 5000));
  EXPECT_EQ(w.m_timerIds.front(), 7u);
  EXPECT_FALSE(w.m_bOffThread);
}

TEST(HostLoop, EmbeddingThroughDescriptorDispatchAndDeadline) {
  CRecorder w;
  ASSERT_TRUE(w.CreateWindowOn(nullptr));
  auto loop = CHostLoop::ForCurrentThread();
  EXPECT_EQ(loop->NextDeadlineMs(), -1);
  SetTimer(w.GetSafeHwnd(), 3, 200);
  int next = loop->NextDeadlineMs();
  EXPECT_GT(next, 100);
  EXPECT_LE(next, 200);
  KillTimer(w.GetSafeHwnd(), 3);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    SendMessage(w.GetSafeHwnd(), WM_TEST, 0, 1);
    done = true;
  });
  // A host's own poll on the descriptor wakes for the queued send.
  pollfd p{loop->PollFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  while (!done.load()) loop->Dispatch();
  sender.join();
  EXPECT_EQ(w.m_nHandled.load(), 1);
}

TEST(HostLoop, DestroyingAParentDestroysItsChildrenAfterIt) {
  std::vector<std::string> order;
  struct CNamed : CWindow {
    std::vector<std::string>* pOrder;
    std::string name;
    LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override {
      if (msg == WM_DESTROY) pOrder->push_back(name);
      return CWindow::WindowProc(msg, w, l);
    }
  };
  CNamed parent, child;
  parent.pOrder = child.pOrder = &order;
  parent.name = "parent";
  child.name = "child";
  ASSERT_TRUE(parent.CreateWindowOn(nullptr));
  ASSERT_TRUE(child.CreateWindowOn(&parent));
  SetTimer(child.GetSafeHwnd(), 1, 1000);
  const HWND hChild = child.GetSafeHwnd();
  parent.DestroyWindow();
  EXPECT_EQ(order, (std::vector<std::string>{"parent", "child"}));
  EXPECT_FALSE(IsWindow(hChild));
  EXPECT_FALSE(IsTimerArmed(hChild, 1));
}

}  // namespace
}  // namespace tessor::platform
