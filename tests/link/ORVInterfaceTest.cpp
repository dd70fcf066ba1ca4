#include "link/ORVInterface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "common/LastLogin.h"
#include "common/RunFlag.h"
#include "common/WindowMessages.h"
#include "link/Protocol.h"
#include "platform/MessageBox.h"
#include "tests/link/RecordingOwner.h"
#include "tests/support/LogDir.h"
#include "tests/support/TestPeer.h"
#include "tests/support/Wait.h"

namespace tessor {
namespace {

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LastLogin().ResetForTest();
    g_bRun = true;
    ASSERT_TRUE(m_peer.Listen());
    m_link = CORVInterface::Create();
    m_link->SetOwner(&m_owner);
  }
  void TearDown() override {
    g_bRun = false;
    if (m_link) {
      m_link->BeginTearDown();
      m_link->m_socket.Close();
      m_link->DetachOwner();
      m_link->WaitForExit(5000);
    }
    m_link.reset();
    // Ended threads are joined at module end, which this binary lacks.
    EXPECT_EQ(JoinAllLinkThreads(5000), 0);
    platform::SetMessageBoxPresenter({});
  }
  bool ConnectAndStart() {
    if (!m_link->m_socket.Connect("127.0.0.1", m_peer.Port())) return false;
    return m_peer.WaitAccepted(1, 5000) && m_link->Start();
  }
  CLogDir m_log;
  CTestPeer m_peer;
  CRecordingOwner m_owner;
  std::shared_ptr<CORVInterface> m_link;
};

TEST_F(LinkTest, QuickConnectOnAConnectedLinkDoesNothing) {
  ASSERT_TRUE(m_link->m_socket.Connect("127.0.0.1", m_peer.Port()));
  EXPECT_FALSE(m_link->QuickConnect("127.0.0.1", m_peer.Port()));
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"QuickConnect - socket IsConnected false"}));
  EXPECT_FALSE(m_peer.WaitRawBytes(1, 200));
}

TEST_F(LinkTest, QuickConnectThatCannotConnect) {
  const uint16_t port = m_peer.Port();
  m_peer.StopListening();
  EXPECT_FALSE(m_link->QuickConnect("127.0.0.1", port));
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"QuickConnect - socket Connect fail"}));
}

TEST_F(LinkTest, QuickConnectWithoutAStoredLoginConnectsOnly) {
  LastLogin().Store("2001", "A100", "", "T1");  // one text empty is enough
  EXPECT_TRUE(m_link->QuickConnect("127.0.0.1", m_peer.Port()));
  EXPECT_TRUE(m_link->m_socket.IsConnected());
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"2 - TENANT(T1), AID(A100), PWD(****), DN(2001)"}));
  EXPECT_FALSE(m_peer.WaitRawBytes(1, 200));
}

TEST_F(LinkTest, QuickConnectLogsInAgainWithTheStoredTexts) {
  const std::string pwd40(40, 'q');
  LastLogin().Store("2001", "A100", pwd40.c_str(), "T1");
  EXPECT_TRUE(m_link->QuickConnect("localhost", m_peer.Port()));
  ASSERT_TRUE(m_peer.WaitPackets(1, 5000));
  const auto login = m_peer.Packets()[0];
  ASSERT_EQ(login.size(), SIZE_LOGIN);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(login.data() + 104)), std::string(31, 'q'));
  EXPECT_EQ(LastLogin().Snapshot().strPWD, pwd40);
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"TENANT(T1), AID(A100), DN(2001) login packet send success",
                                                         "1- TENANT(T1), AID(A100), PWD(****), DN(2001)"}));
}

TEST_F(LinkTest, AThreadStartsOnceAndStopNeedsAStart) {
  EXPECT_FALSE(m_link->Stop());
  ASSERT_TRUE(ConnectAndStart());
  EXPECT_FALSE(m_link->Start());
  EXPECT_TRUE(m_link->Stop());
  EXPECT_FALSE(m_link->Stop());
}

TEST_F(LinkTest, PacketsReachTheDecoderInOrder) {
  ASSERT_TRUE(ConnectAndStart());
  std::vector<uint8_t> burst;
  for (int i = 0; i < 3; ++i) {
    auto p = CTestPeer::Packet(C_GET_RECORD_CALLID_RESPONSE, SIZE_GET_RECORD_CALLID_RESPONSE,
                               [i](uint8_t* b) { b[80] = static_cast<uint8_t>('a' + i); });
    burst.insert(burst.end(), p.begin(), p.end());
  }
  ASSERT_TRUE(m_peer.Send(burst));
  ASSERT_TRUE(WaitUntil([&] { return m_owner.Calls().size() == 3; }, 5000));
  EXPECT_EQ(m_owner.Calls(), (std::vector<std::string>{"callid:a", "callid:b", "callid:c"}));
}

TEST_F(LinkTest, APeerClosingIsALostLinkWithItsAddress) {
  ASSERT_TRUE(ConnectAndStart());
  m_peer.Close();
  ASSERT_TRUE(WaitUntil([&] { return !m_owner.Calls().empty(); }, 8000));
  EXPECT_EQ(m_owner.Calls(), (std::vector<std::string>{"lost:127.0.0.1"}));
  EXPECT_EQ(m_owner.m_pLost, m_link.get());
  ASSERT_TRUE(m_link->WaitForExit(5000));
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"1 - nreceived <= 0"}));
  EXPECT_FALSE(m_link->m_socket.IsConnected());
}

TEST_F(LinkTest, AnOversizedBodyEndsTheLinkButLeavesTheSocketOpen) {
  ASSERT_TRUE(ConnectAndStart());
  ASSERT_TRUE(m_peer.Send(CTestPeer::RawHeader(C_LOGIN_RESULT, 16, 4097)));
  ASSERT_TRUE(m_link->WaitForExit(8000));
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"size > MAX_PACKET_LENGTH"}));
  EXPECT_TRUE(m_owner.Has("lost:127.0.0.1"));
  EXPECT_TRUE(m_link->m_socket.IsConnected());
}

TEST_F(LinkTest, ClearingTheRunFlagEndsQuietly) {
  ASSERT_TRUE(ConnectAndStart());
  ASSERT_TRUE(m_peer.Send(CTestPeer::Packet(C_LOGOUT_RESULT, SIZE_LOGOUT_RESULT)));
  ASSERT_TRUE(WaitUntil([&] { return !m_owner.Calls().empty(); }, 5000));  // the loop runs
  g_bRun = false;
  m_peer.Close();
  ASSERT_TRUE(m_link->WaitForExit(8000));
  // Seen at the loop's test, or as a failure of the read in progress,
  // which is logged before the quiet end. The owner is never told.
  const auto lines = m_log.Messages();
  const bool quiet = lines == std::vector<std::string>{"ReceiveProcess stopped"};
  const bool failedThenQuiet = lines == std::vector<std::string>{"1 - nreceived <= 0", "ReceiveProcess stopped"};
  EXPECT_TRUE(quiet || failedThenQuiet);
  EXPECT_EQ(m_owner.Calls(), (std::vector<std::string>{"disconnected:1"}));
  EXPECT_FALSE(m_link->m_socket.IsConnected());
}

TEST_F(LinkTest, AThreadStartedWithoutTheRunFlagStopsAtOnce) {
  g_bRun = false;
  ASSERT_TRUE(ConnectAndStart());
  ASSERT_TRUE(m_link->WaitForExit(2000));
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"ReceiveProcess stopped"}));
  EXPECT_FALSE(m_link->m_socket.IsConnected());
}

// An owner whose notification waits on a host thread that does not pump.
class CBlockingOwner : public CRecordingOwner {
 public:
  void NotifyDisconnected(uint16_t nReason) override {
    m_bEntered = true;
    platform::SendMessage(m_hCtrl, WM_DISCONNECTED, 0, nReason);
  }
  std::atomic<bool> m_bEntered{false};
};

TEST_F(LinkTest, TearDownReleasesAThreadWaitingOnTheHostThread) {
  platform::CWindow host;  // never pumped while the link waits on it
  ASSERT_TRUE(host.CreateWindowOn(nullptr));
  CBlockingOwner owner;
  owner.m_hCtrl = host.GetSafeHwnd();
  m_link->SetOwner(&owner);
  ASSERT_TRUE(ConnectAndStart());
  ASSERT_TRUE(m_peer.Send(CTestPeer::Packet(C_LOGOUT_RESULT, SIZE_LOGOUT_RESULT)));
  ASSERT_TRUE(WaitUntil([&] { return owner.m_bEntered.load(); }, 5000));
  const uint64_t start = platform::MonotonicMs();
  m_link->BeginTearDown();
  m_link->m_socket.Close();
  m_link->DetachOwner();
  EXPECT_TRUE(m_link->WaitForExit(500));
  EXPECT_LT(platform::MonotonicMs() - start, 1000u);
  EXPECT_EQ(m_log.Find("ReceiveProcess stopped"), static_cast<int>(m_log.Messages().size()) - 1);
  host.DestroyWindow();
}

TEST_F(LinkTest, TearDownDoesNotWaitForAnOpenBoxAndTheLinkOutlivesItsOwnerSafely) {
  std::mutex lock;
  std::condition_variable cv;
  bool open = false, closeIt = false;
  platform::SetMessageBoxPresenter([&](platform::HWND, const std::string&, const std::string&, unsigned) {
    std::unique_lock<std::mutex> g(lock);
    open = true;
    cv.notify_all();
    cv.wait(g, [&] { return closeIt; });
    return platform::IDOK;
  });
  {
    auto owner = std::make_unique<CRecordingOwner>();
    m_link->SetOwner(owner.get());
    ASSERT_TRUE(ConnectAndStart());
    ASSERT_TRUE(m_peer.Send(CTestPeer::Packet(C_LOGIN_RESULT, SIZE_LOGIN_RESULT, [](uint8_t* p) { p[16] = 1; })));
    {
      std::unique_lock<std::mutex> g(lock);
      ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(5), [&] { return open; }));
    }
    const uint64_t start = platform::MonotonicMs();
    m_link->BeginTearDown();
    m_link->m_socket.Close();
    m_link->DetachOwner();
    EXPECT_FALSE(m_link->WaitForExit(100));  // still in the box
    EXPECT_LT(platform::MonotonicMs() - start, 1000u);
    m_link.reset();  // the thread keeps the link alive
  }                  // and the owner is gone
  {
    std::lock_guard<std::mutex> g(lock);
    closeIt = true;
  }
  cv.notify_all();
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, 5000));
  EXPECT_EQ(JoinAllLinkThreads(1000), 0);
}

}  // namespace
}  // namespace tessor
