#include "tests/support/TestPeer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <numeric>

#include "link/Protocol.h"
#include "tests/tools/SimClient.h"

namespace tessor {
namespace {

constexpr int WAIT_MS = 10000;

TEST(TestPeer, BuildsPacketsAndHeaders) {
  const Bytes p = CTestPeer::Packet(C_RECORD_TYPE_CHANGED, SIZE_RECORD_TYPE_CHANGED, [](uint8_t* b) { b[40] = 7; });
  Bytes expected(SIZE_RECORD_TYPE_CHANGED, 0);
  const uint8_t head[] = {0x01, 0x01, 0x60, 0x00, 0x10, 0x00, 0x1A, 0x00};
  std::copy(std::begin(head), std::end(head), expected.begin());
  expected[40] = 7;
  EXPECT_EQ(p, expected);
  EXPECT_EQ(CTestPeer::RawHeader(C_LOGIN_RESULT, 32, 4097),
            (Bytes{0x01, 0x01, 0x32, 0x00, 0x20, 0x00, 0x01, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(TestPeer, FramesWhatTheClientSendsWhateverThePieces) {
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  CSimClient client;
  ASSERT_TRUE(client.Connect(peer.Port()));
  ASSERT_TRUE(peer.WaitAccepted(1, WAIT_MS));

  const std::vector<Bytes> packets = {CTestPeer::Packet(C_LOGIN, SIZE_LOGIN, [](uint8_t* b) { b[100] = 9; }),
                                      CTestPeer::RawHeader(C_KEEP_ALIVE, 16, 0),
                                      CTestPeer::Packet(999, 16 + 5000)};  // any BodyLength is recorded
  Bytes stream;
  for (const auto& p : packets) stream.insert(stream.end(), p.begin(), p.end());
  size_t off = 0;
  for (size_t piece : {1, 15, 100, 3, 60, 2000}) {
    ASSERT_TRUE(client.Send(stream.data() + off, piece));
    off += piece;
  }
  ASSERT_TRUE(client.Send(stream.data() + off, stream.size() - off));
  ASSERT_TRUE(peer.WaitPackets(3, WAIT_MS));
  EXPECT_EQ(peer.Packets(), packets);
  EXPECT_EQ(peer.Packets(0), packets);
  EXPECT_EQ(peer.RawBytes(), stream);

  // And the other way, in pieces with pauses.
  ASSERT_TRUE(peer.SendPieces(stream, {5, 20, 1}, 2));
  for (const auto& p : packets) {
    Bytes got;
    ASSERT_TRUE(client.ReadPacket(&got, WAIT_MS));
    EXPECT_EQ(got, p);
  }
  EXPECT_TRUE(peer.Packets(1).empty());  // no such connection
  EXPECT_FALSE(peer.Send({1}, 1));
}

TEST(TestPeer, ClosesResetsAndListensAgain) {
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  const uint16_t port = peer.Port();
  CSimClient a, b;
  ASSERT_TRUE(a.Connect(port));
  ASSERT_TRUE(peer.WaitAccepted(1, WAIT_MS));
  ASSERT_TRUE(b.Connect(port));
  ASSERT_TRUE(peer.WaitAccepted(2, WAIT_MS));

  peer.Close(0);
  EXPECT_EQ(a.WaitEnd(WAIT_MS), 0);
  EXPECT_FALSE(peer.Send({1, 2, 3}, 0));
  peer.Reset();  // the latest: b
  EXPECT_EQ(b.WaitEnd(WAIT_MS), ECONNRESET);

  peer.StopListening();
  CSimClient refused;
  EXPECT_FALSE(refused.Connect(port));
  EXPECT_EQ(refused.ConnectErrno(), ECONNREFUSED);
  ASSERT_TRUE(peer.ListenAgain());
  EXPECT_EQ(peer.Port(), port);
  CSimClient c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(peer.WaitAccepted(3, WAIT_MS));
  EXPECT_EQ(peer.AcceptedCount(), 3);
  EXPECT_FALSE(peer.PeerClosed());
  c.Close();
  EXPECT_TRUE(peer.WaitPeerClosed(WAIT_MS, 2));

  peer.Stop();
  EXPECT_FALSE(peer.ListenAgain());  // stopped: nobody would accept
}

TEST(TestPeer, StopReadingFillsTheClientsBuffers) {
  CTestPeer peer;
  peer.SetSmallReceiveBuffer(true);
  ASSERT_TRUE(peer.Listen());
  CSimClient client;
  ASSERT_TRUE(client.Connect(peer.Port()));
  ASSERT_TRUE(peer.WaitAccepted(1, WAIT_MS));
  peer.StopReading();
  ASSERT_EQ(::fcntl(client.Fd(), F_SETFL, ::fcntl(client.Fd(), F_GETFL) | O_NONBLOCK), 0);

  // Until the kernel refuses more; bounded in case reading did not stop.
  const Bytes chunk(4096, 0x5A);
  size_t sent = 0;
  for (;;) {
    ssize_t n = ::send(client.Fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (n < 0) {
      ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
      break;
    }
    sent += static_cast<size_t>(n);
    ASSERT_LT(sent, 64u << 20) << "the peer kept reading";
  }
  EXPECT_GT(sent, 0u);
  EXPECT_LT(peer.RawBytes().size(), sent);

  peer.ResumeReading();
  EXPECT_TRUE(peer.WaitRawBytes(sent, WAIT_MS));
  EXPECT_EQ(peer.RawBytes().size(), sent);
}

TEST(TestPeer, BlackHoleLeavesAConnectPending) {
  CTestPeer hole;
  ASSERT_TRUE(hole.ListenBlackHole());
  ASSERT_NE(hole.Port(), 0);
  EXPECT_FALSE(hole.Listen());  // one mode at a time

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(hole.Port());
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
  ASSERT_EQ(errno, EINPROGRESS);
  // The property itself is a span of time with nothing happening.
  pollfd p{fd, POLLOUT, 0};
  EXPECT_EQ(::poll(&p, 1, 1500), 0) << "the connect was answered";
  int err = -1;
  socklen_t len = sizeof(err);
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len), 0);
  EXPECT_EQ(err, 0);  // not refused either
  ::close(fd);
}

}  // namespace
}  // namespace tessor
