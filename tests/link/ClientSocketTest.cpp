#include "link/ClientSocket.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "platform/Thread.h"
#include "tests/support/TestPeer.h"

namespace tessor {
namespace {

using platform::MonotonicMs;

TEST(ClientSocket, ConnectToADeadAddressGivesUpAfterTheWaitAndDropsTheSocket) {
  CTestPeer hole;
  ASSERT_TRUE(hole.ListenBlackHole());
  CClientSocket s;
  const uint64_t start = MonotonicMs();
  EXPECT_FALSE(s.Connect("127.0.0.1", hole.Port()));
  const uint64_t took = MonotonicMs() - start;
  EXPECT_GE(took, 900u);
  EXPECT_LT(took, 3000u);
  EXPECT_EQ(s.HandleForTest(), -1);
  EXPECT_FALSE(s.IsConnected());
  // The next attempt makes a new socket.
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  EXPECT_TRUE(s.Connect("127.0.0.1", peer.Port()));
  EXPECT_NE(s.HandleForTest(), -1);
}

TEST(ClientSocket, HostTexts) {
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  struct SCase {
    const char* host;
    bool ok;
  } cases[] = {
      {"127.0.0.1", true},
      {"localhost", true},                    // a name: resolved
      {"no-such-host.invalid", false},        // no address: no connect
      {"1nvalid.example", false},             // begins with a digit: read as an address, fails
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    CClientSocket s;
    EXPECT_EQ(s.Connect(c.host, peer.Port()), c.ok);
  }
  CClientSocket s;
  EXPECT_FALSE(s.Connect(nullptr, peer.Port()));
  EXPECT_EQ(platform::ParseIPv4("1nvalid.example"), 0xFFFFFFFFu);
}

TEST(ClientSocket, OnlyTheLow16BitsOfThePortCount) {
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  CClientSocket s;
  EXPECT_TRUE(s.Connect("127.0.0.1", peer.Port() + 65536));
  ASSERT_TRUE(peer.WaitAccepted(1, 5000));
  CTestPeer high;
  if (!high.Listen(65535)) GTEST_SKIP() << "port 65535 is in use here";
  CClientSocket t;
  EXPECT_TRUE(t.Connect("127.0.0.1", -1));  // an I2 of -1 is port 65535
}

TEST(ClientSocket, WaitsAndReadsAnswerTheirCodes) {
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  CClientSocket s;
  ASSERT_TRUE(s.Connect("127.0.0.1", peer.Port()));
  ASSERT_TRUE(peer.WaitAccepted(1, 5000));
  char buf[16];
  EXPECT_EQ(s.Receive(buf, sizeof(buf)), -1);  // nothing within 100 ms
  EXPECT_TRUE(s.IsConnected());
  ASSERT_TRUE(peer.Send({1, 2, 3}));
  EXPECT_EQ(s.WaitReadable(5000), 0);
  EXPECT_EQ(s.Receive(buf, sizeof(buf)), 3);
  peer.Close();
  EXPECT_EQ(s.WaitReadable(5000), 0);
  EXPECT_EQ(s.Receive(buf, sizeof(buf)), -1);  // closed by the peer
  EXPECT_EQ(s.Receive(nullptr, 4), 0);
  s.Close();
  s.Close();  // exactly once, then nothing
  const uint64_t start = MonotonicMs();
  EXPECT_EQ(s.WaitReadable(5000), -2);  // at once without a socket
  EXPECT_EQ(s.WaitWritable(5000), -2);
  EXPECT_LT(MonotonicMs() - start, 100u);
  EXPECT_EQ(s.Receive(buf, sizeof(buf)), 0);
  EXPECT_FALSE(s.Send("x", 1));
}

TEST(ClientSocket, CloseFromAnotherThreadWakesAWaitAndFailsIt) {
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  CClientSocket s;
  ASSERT_TRUE(s.Connect("127.0.0.1", peer.Port()));
  int rc = 0;
  uint64_t took = 0;
  std::thread waiter([&] {
    const uint64_t start = MonotonicMs();
    rc = s.WaitReadable(5000);
    took = MonotonicMs() - start;
  });
  platform::SleepMs(50);  // let the wait begin; the close must wake it either way
  s.Close();
  waiter.join();
  EXPECT_EQ(rc, -2);
  EXPECT_LT(took, 2000u);
}

TEST(ClientSocket, APeerThatNeverReadsCostsEverySendAtMostItsBound) {
  CTestPeer peer;
  peer.SetSmallReceiveBuffer(true);
  ASSERT_TRUE(peer.Listen());
  CClientSocket s;
  ASSERT_TRUE(s.Connect("127.0.0.1", peer.Port()));
  ASSERT_TRUE(peer.WaitAccepted(1, 5000));
  peer.StopReading();
  int small = 4096;
  ::setsockopt(s.HandleForTest(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  std::vector<uint8_t> packet(3176, 0x42);
  int failed = 0;
  for (int i = 0; i < 20000 && failed == 0; ++i) {
    const uint64_t start = MonotonicMs();
    if (!s.Send(packet.data(), packet.size())) ++failed;
    EXPECT_LT(MonotonicMs() - start, 400u);  // 100 ms bound, with room for a loaded machine
  }
  EXPECT_GT(failed, 0);  // the buffers filled and sends were counted as not sent
}

TEST(ClientSocket, APeerResetDuringSendsDoesNotKillTheProcess) {
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  CClientSocket s;
  ASSERT_TRUE(s.Connect("127.0.0.1", peer.Port()));
  ASSERT_TRUE(peer.WaitAccepted(1, 5000));
  peer.Reset();
  std::vector<uint8_t> packet(255, 1);
  bool anyFailed = false;
  for (int i = 0; i < 50; ++i) anyFailed |= !s.Send(packet.data(), packet.size());
  EXPECT_TRUE(anyFailed);  // EPIPE/ECONNRESET, never SIGPIPE
}

}  // namespace
}  // namespace tessor
