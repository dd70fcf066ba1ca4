// The fault table: what the control does when the network, the servers or
// the host misbehave. Each test is one row, driven through the real
// control on the test thread (the host thread) against scripted servers
// on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "common/WindowMessages.h"
#include "tests/faults/Harness.h"

namespace tessor::faults {
namespace {

std::string NoLinkText() { return K("MAIN ORV, SUB ORV 모두 통신이 안됩니다. 네트웍 상태를 점검하십시요."); }

template <typename F>
uint64_t Took(F&& f) {
  const uint64_t start = Now();
  f();
  return Now() - start;
}

// A port on 127.0.0.1 that is bound but not listening: connects are refused.
class CRefusingPort {
 public:
  CRefusingPort() {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      m_nPort = ntohs(a.sin_port);
  }
  ~CRefusingPort() {
    if (m_fd >= 0) ::close(m_fd);
  }
  uint16_t Port() const { return m_nPort; }

 private:
  int m_fd = -1;
  uint16_t m_nPort = 0;
};

// Walks a stream of requests: each must carry a request code and exactly
// the size of that code.
void ExpectWholeRequests(const Bytes& raw, size_t end) {
  static const std::map<uint16_t, size_t> kSizes = {
      {C_LOGIN, SIZE_LOGIN},
      {C_LOGOUT, SIZE_LOGOUT},
      {C_BASIC_INFO, SIZE_BASIC_INFO},
      {C_EXTEND_INFO, SIZE_EXTEND_INFO},
      {C_POST_INFO, SIZE_POST_INFO},
      {C_MARK_INFO, SIZE_MARK_INFO},
      {C_GET_RECORD_CALLID, SIZE_GET_RECORD_CALLID},
      {C_KEEP_ALIVE, SIZE_KEEP_ALIVE},
      {C_SET_SELECTION_RECORD, SIZE_SELECTION},
      {C_START_SELECT_RECORD, SIZE_SELECTION},
      {C_STOP_SELECT_RECORD, SIZE_SELECTION},
  };
  size_t off = 0, n = 0;
  while (off < end) {
    ASSERT_LE(off + HEADER_LENGTH, end) << "a header cut at byte " << off;
    const uint16_t code = GetU16(raw.data() + off + 2);
    const size_t total = HEADER_LENGTH + GetU16(raw.data() + off + 6);
    const auto it = kSizes.find(code);
    ASSERT_NE(it, kSizes.end()) << "request " << n << " at byte " << off << ": code " << code << " is no request";
    ASSERT_EQ(total, it->second) << "request " << n << " at byte " << off << " (code " << code << ")";
    ASSERT_LE(off + total, end) << "request " << n << " at byte " << off << " (code " << code
                                << ") runs past the last request, which ends at byte " << end
                                << ": it arrived cut and what followed it was read as its rest";
    off += total;
    ++n;
  }
  EXPECT_EQ(off, end);
}

class FaultTest : public ControlFixture {
 protected:
  uint64_t FillBothLinks(std::string* pSlowest);
  // Logs in on the main link and waits until the server has the login.
  void LoginMain() {
    ASSERT_EQ(Ctrl().LoginToORV("2001", "A100", "secret", "T1"), 1);
    ASSERT_TRUE(m_main.WaitPackets(1, kDeadlineMs, 0));
  }
  // Every request method that is routed by the manager, with valid texts.
  std::vector<std::pair<std::string, std::function<void()>>> Requests() {
    CTessorCtrl& c = Ctrl();
    return {
        {"GetCallID", [&c] { c.GetCallID("2001", "A100", "T1"); }},
        {"SendMarkInfo", [&c] { c.SendMarkInfo("2001", "CID-1", "A100", "T1"); }},
        {"SendBasicInfo", [&c] { c.SendBasicInfo("2001", "CID-1", "0101234", "1588", "A100", "T1", 1); }},
        {"SendPostInfo", [&c] { c.SendPostInfo("2001", "CID-1", "20240305070809", "note", "A100", "T1"); }},
        {"SendExtendInfo",
         [&c] {
           static int n = 0;  // differs each time, so no call is dropped as a repeat
           const std::string name = "name" + std::to_string(++n);
           c.SendExtendInfo("2001", "CID-1", name.c_str(), "C1", "010", std::string(1000, 'a').c_str(),
                            std::string(1000, 'b').c_str(), "i3", "i4", "i5", "A100", "T1");
         }},
        {"SetSelectionRecord", [&c] { c.SetSelectionRecord("2001", "CID-1", "A100", "T1"); }},
        {"StartSelectRecord", [&c] { c.StartSelectRecord("2001", "CID-1", "A100", "T1"); }},
        {"StopSelectRecord", [&c] { c.StopSelectRecord("2001", "CID-1", "A100", "T1"); }},
    };
  }
};

// ---- the connection breaks inside a packet ---------------------------------------

TEST_F(FaultTest, ServerClosingInsideAPacketIsALostLink) {
  const Bytes login = LoginResult(3, 2);
  struct SCase {
    const char* szName;
    size_t nBytes;  // sent before the close
    const char* szLine;
  } const kCases[] = {
      {"mid-header", 9, "1 - bError is true"},
      {"after the header, no body", 16, "2 - nreceived <= 0"},
      {"mid-body", 100, "2 - bError is true"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    NewCtrl();
    CTestPeer peer;
    ASSERT_TRUE(peer.Listen());
    ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(peer.Port())), 1);
    ASSERT_TRUE(peer.WaitAccepted(1, kDeadlineMs));
    ASSERT_TRUE(peer.Send(Bytes(login.begin(), login.begin() + static_cast<long>(c.nBytes))));
    peer.Close();
    ASSERT_TRUE(Pump([&] { return m_sink.Count("Disconnected 2") == 1; }));
    EXPECT_EQ(m_sink.m_events, std::vector<std::string>{"Disconnected 2"}) << "nothing of the cut packet is decoded";
    EXPECT_EQ(CountLines(c.szLine), 1);
    // After the event the lost link's thread puts a fresh link into the
    // slot and arms the reconnection.
    const platform::HWND hManager = Ctrl().Manager().GetSafeHwnd();
    EXPECT_TRUE(WaitUntil([&] { return platform::IsTimerArmed(hManager, TIMER_RECONNECT_MAIN); }, kDeadlineMs));
    EXPECT_TRUE(Ctrl().Manager().MainLink());
  }
}

TEST_F(FaultTest, ResetWhileRequestsAreSentNeverStallsOrSignalsTheHost) {
  m_main.SetSmallReceiveBuffer(true);
  ConnectMain();
  LoginMain();
  m_main.StopReading(0);  // the requests pile up in the buffers
  // The server resets the connection once the host is well into sending,
  // and the host goes on sending.
  std::atomic<int> sent{0};
  std::thread resetter([&] {
    WaitUntil([&] { return sent.load() >= 20; }, kDeadlineMs);
    m_main.Reset(0);
  });
  auto requests = Requests();
  uint64_t worst = 0;
  const uint64_t deadline = Now() + kDeadlineMs;
  auto loop = platform::CHostLoop::ForCurrentThread();
  for (size_t i = 0; m_sink.Count("Disconnected 2") == 0 && Now() < deadline; ++i) {
    worst = std::max(worst, Took(requests[i % requests.size()].second));
    ++sent;
    loop->RunUntil([&] { return m_sink.Count("Disconnected 2") > 0; }, 1);
  }
  resetter.join();
  // A SIGPIPE would have ended the test binary before this line.
  EXPECT_EQ(m_sink.Count("Disconnected 2"), 1);
  EXPECT_LE(worst, 100u + 400u) << "one send and its 100 ms wait, with slack";
  // Afterwards the requests find no link that takes them, at once.
  for (auto& r : requests) {
    SCOPED_TRACE(r.first);
    EXPECT_LE(Took(r.second), 400u);
  }
  EXPECT_GE(CountLines(NoLinkText()), 5);
}

// ---- pieces, sizes and codes ------------------------------------------------------

TEST_F(FaultTest, PiecesMustFollowEachOtherWithin100Ms) {
  const Bytes login = LoginResult(3, 4);
  struct SCase {
    const char* szName;
    std::vector<size_t> pieces;
    int nDelayMs;
    const char* szLine;  // nullptr: joined and decoded
  } const kCases[] = {
      {"header in three quick pieces", {5, 5, 6}, 5, nullptr},
      {"body in quick pieces", {16, 50, 50, 50}, 5, nullptr},
      {"header piece 400 ms late", {8}, 400, "1 - bError is true"},
      {"body piece 400 ms late", {16 + 50}, 400, "2 - bError is true"},
      {"whole body 400 ms after its header", {16}, 400, "2 - nreceived <= 0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    NewCtrl();
    CTestPeer peer;
    ASSERT_TRUE(peer.Listen());
    ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(peer.Port())), 1);
    ASSERT_TRUE(peer.WaitAccepted(1, kDeadlineMs));
    // A link that gave up may be closed before the last piece is sent.
    const bool allSent = peer.SendPieces(login, c.pieces, c.nDelayMs);
    if (c.szLine == nullptr) {
      ASSERT_TRUE(allSent);
      ASSERT_TRUE(Pump([&] { return !m_sink.m_events.empty(); }));
      EXPECT_EQ(m_sink.m_events, std::vector<std::string>{"LoginSuccess 4"});
    } else {
      ASSERT_TRUE(Pump([&] { return m_sink.Count("Disconnected 2") == 1; }));
      EXPECT_EQ(m_sink.m_events, std::vector<std::string>{"Disconnected 2"});
      EXPECT_EQ(CountLines(c.szLine), 1);
    }
  }
}

TEST_F(FaultTest, BodiesUpTo4096AreReadWholeAndLargerOnesEndTheLink) {
  struct SCase {
    uint16_t nBody;
    bool bLost;
  } const kCases[] = {{4096, false}, {4097, true}, {65535, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.nBody);
    const int oversized = CountLines("size > MAX_PACKET_LENGTH");
    NewCtrl();
    CTestPeer peer;
    ASSERT_TRUE(peer.Listen());
    ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(peer.Port())), 1);
    ASSERT_TRUE(peer.WaitAccepted(1, kDeadlineMs));
    // An unknown code, so a whole body is read and dropped; then a login
    // result that decodes only if the framing is still in step.
    Bytes big = CTestPeer::RawHeader(200, 16, c.nBody);
    big.resize(16 + (c.bLost ? 64 : c.nBody), 0x5A);
    ASSERT_TRUE(peer.Send(Join({big, LoginResult(3, 9)})));
    if (c.bLost) {
      ASSERT_TRUE(Pump([&] { return m_sink.Count("Disconnected 2") == 1; }));
      EXPECT_EQ(m_sink.m_events, std::vector<std::string>{"Disconnected 2"});
      EXPECT_EQ(CountLines("size > MAX_PACKET_LENGTH"), oversized + 1);
      // The socket stays open until the owner lets the link go, which the
      // next reconnection attempt does.
      EXPECT_TRUE(Pump([&] { return peer.PeerClosed(0); }, kReconnectWaitMs));
    } else {
      ASSERT_TRUE(Pump([&] { return !m_sink.m_events.empty(); }));
      EXPECT_EQ(m_sink.m_events, std::vector<std::string>{"LoginSuccess 9"});
    }
  }
}

TEST_F(FaultTest, UnknownCodesAreReadWholeAndDroppedSilently) {
  ConnectMain();
  const size_t lines = m_log.Messages().size();
  Bytes stream;
  for (uint16_t code : {C_LOGIN, C_LOGOUT, C_GET_RECORD_CALLID, C_KEEP_ALIVE, C_MARK_INFO, uint16_t{0},
                        uint16_t{0xFFFF}, uint16_t{106}})
    for (size_t total : {size_t{17}, size_t{48}, size_t{213}, size_t{1000}})
      stream = Join({stream, CTestPeer::Packet(code, total, [](uint8_t* p) { ::memset(p + 16, '%', 1); })});
  stream = Join({stream, CTestPeer::RawHeader(C_LOGIN_RESULT, 16, 0), LoginResult(3, 1)});
  ASSERT_TRUE(m_main.Send(stream));
  ASSERT_TRUE(Pump([&] { return !m_sink.m_events.empty(); }));
  EXPECT_EQ(m_sink.m_events, std::vector<std::string>{"LoginSuccess 1"});
  EXPECT_EQ(m_log.Messages().size(), lines) << "no line for an unknown code or a bare header";
  EXPECT_TRUE(m_agent.Boxes().empty());
}

TEST_F(FaultTest, WrongDeclaredSizesLeaveALineAndTheLinkInStep) {
  ConnectMain();
  struct SCase {
    uint16_t nCode, nHeader, nBody;
    const char* szLine;
  } const kCases[] = {
      {C_LOGIN_RESULT, 16, 196, "LOGIN RESULT INVALID PACKET SIZE - 213 : 212"},
      {C_LOGOUT_RESULT, 16, 98, "LOGOUT RESULT INVALID PACKET SIZE - 113 : 114"},
      {C_GET_RECORD_CALLID_RESPONSE, 0, 224, "GET RECORD CALLID RESPONSE INVALID PACKET SIZE - 240 : 224"},
      {C_RECORD_TYPE_CHANGED, 16, 1, "RECORD TYPE CHANGED INVALID PACKET SIZE - 42 : 17"},
      {C_AGENT_STATUS_CHANGED, 4000, 4096, "AGENT STATUS CHANGED INVALID PACKET SIZE - 42 : 8096"},
      {C_LOGOUT_ALARM, 16, 31, "LOGOUT ALARM INVALID PACKET SIZE - 48 : 47"},
  };
  Bytes stream;
  for (const auto& c : kCases) {
    Bytes p = CTestPeer::RawHeader(c.nCode, c.nHeader, c.nBody);
    p.resize(16 + c.nBody, 0);
    stream = Join({stream, p});
  }
  // HeaderLength 32 with a body 16 short passes the size test.
  Bytes odd = CTestPeer::RawHeader(C_LOGIN_RESULT, 32, 181);
  odd.resize(16 + 181, 0);
  PutU16(odd.data() + 16, 3);
  ASSERT_TRUE(m_main.Send(Join({stream, odd})));
  ASSERT_TRUE(Pump([&] { return !m_sink.m_events.empty(); }));
  EXPECT_EQ(m_sink.m_events, std::vector<std::string>{"LoginSuccess 0"}) << "the record type lies beyond the body";
  for (const auto& c : kCases) EXPECT_EQ(CountLines(c.szLine), 1) << c.szLine;
  EXPECT_TRUE(g_bRun.load()) << "a short forced log-out is no forced log-out";
  EXPECT_TRUE(m_agent.Boxes().empty());
}

TEST_F(FaultTest, ABurstOf10000PacketsIsDecodedWholeAndInOrder) {
  ConnectMain();
  constexpr int kCount = 10000;
  Bytes burst;
  burst.reserve(kCount * SIZE_AGENT_STATUS_CHANGED);
  for (int i = 0; i < kCount; ++i) {
    const Bytes p = StatusChanged(static_cast<uint16_t>(i));
    burst.insert(burst.end(), p.begin(), p.end());
  }
  // Sent from a thread of its own while the host pumps: the link reads only
  // as fast as the host takes the events.
  std::atomic<bool> sentAll{false};
  std::thread server([&] {
    const size_t chunk = 100 * SIZE_AGENT_STATUS_CHANGED;
    bool ok = true;
    for (size_t off = 0; ok && off < burst.size(); off += chunk)
      ok = m_main.Send(Bytes(burst.begin() + static_cast<long>(off),
                             burst.begin() + static_cast<long>(std::min(burst.size(), off + chunk))));
    sentAll = ok;
  });
  const bool all = Pump([&] { return m_sink.m_events.size() >= static_cast<size_t>(kCount); }, 180000);
  server.join();
  ASSERT_TRUE(sentAll.load());
  ASSERT_TRUE(all) << m_sink.m_events.size() << " events";
  ASSERT_EQ(m_sink.m_events.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i)
    ASSERT_EQ(m_sink.m_events[static_cast<size_t>(i)], "AgentStatusChange " + std::to_string(i));
  EXPECT_EQ(Ctrl().GetAStatus(), kCount - 1);
  // The log has every one of them too, in the same order.
  int next = 0;
  for (const auto& m : m_log.Messages())
    if (m.rfind("agent status changed - ", 0) == 0) {
      ASSERT_EQ(m, "agent status changed - " + std::to_string(next));
      ++next;
    }
  EXPECT_EQ(next, kCount);
}

// ---- a server that stops reading ----------------------------------------------------

// Both servers take a login, then stop reading; the host sends every
// kind of request until neither link takes one, and a little beyond.
// Answers the slowest call.
uint64_t FaultTest::FillBothLinks(std::string* pSlowest) {
  m_main.SetSmallReceiveBuffer(true);
  m_sub.SetSmallReceiveBuffer(true);
  ConnectBoth();
  LoginMain();
  // Small buffers on both ends, so that a few requests fill them (the
  // kernel would otherwise let the client's grow to megabytes).
  for (const auto& link : {Ctrl().Manager().MainLink(), Ctrl().Manager().SubLink()}) {
    const int size = 4096;
    EXPECT_EQ(::setsockopt(link->m_socket.HandleForTest(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)), 0);
  }
  m_main.StopReading(0);
  m_sub.StopReading(0);
  auto requests = Requests();
  requests.push_back({"LoginToORV", [this] { Ctrl().LoginToORV("2001", "A100", "secret", "T1"); }});
  requests.push_back({"LogOffFromORV2", [this] { Ctrl().LogOffFromORV2("2001", "A100", "T1"); }});
  uint64_t worst = 0;
  int beyond = -1;
  const uint64_t deadline = Now() + 120000;
  for (int round = 0; beyond < 20 && Now() < deadline; ++round) {
    for (auto& r : requests) {
      const uint64_t t = Took(r.second);
      if (t > worst) worst = t, *pSlowest = r.first;
    }
    if (beyond >= 0)
      ++beyond;
    else if (CountLines(NoLinkText()) > 0)
      beyond = 0;
  }
  return worst;
}

TEST_F(FaultTest, AServerThatNeverReadsCostsEachRequestItsBoundOnly) {
  std::string slowest;
  const uint64_t worst = FillBothLinks(&slowest);
  // Each link: one send and at most 100 ms for it; fail-over tries two.
  EXPECT_LE(worst, 200u + 400u) << slowest;
  EXPECT_GT(CountLines(NoLinkText()), 0) << "full buffers on both links leave the requests nowhere to go";
  EXPECT_EQ(m_sink.Count("Disconnected 2"), 0) << "a slow server is no lost link";
}

// A request that the socket took only in part within its 100 ms cannot be
// completed: the link gives the connection up, so the server sees whole
// requests, at most one cut request at the very end, then the close, and
// never a request read from the middle of another.
TEST_F(FaultTest, ARequestTakenInPartEndsTheConnectionInsteadOfCuttingTheStream) {
  std::string slowest;
  FillBothLinks(&slowest);
  m_main.ResumeReading(0);
  m_sub.ResumeReading(0);
  for (CTestPeer* peer : {&m_main, &m_sub}) {
    // Wait until the server has drained what was sent: nothing new for 300 ms.
    size_t seen = 0;
    uint64_t changed = platform::MonotonicMs();
    ASSERT_TRUE(WaitUntil(
        [&] {
          const size_t now = peer->RawBytes(0).size();
          if (now != seen) {
            seen = now;
            changed = platform::MonotonicMs();
          }
          return now > 0 && platform::MonotonicMs() - changed >= 300;
        },
        kDeadlineMs));
    const Bytes raw = peer->RawBytes(0);
    size_t off = 0;
    while (off + HEADER_LENGTH <= raw.size() && off + HEADER_LENGTH + GetU16(raw.data() + off + 6) <= raw.size())
      off += HEADER_LENGTH + GetU16(raw.data() + off + 6);
    ExpectWholeRequests(raw, off);
    if (off < raw.size()) {
      // A cut tail: the connection was given up right after it.
      EXPECT_TRUE(peer->WaitPeerClosed(kDeadlineMs, 0));
    }
  }
}

// ---- connecting ---------------------------------------------------------------------

TEST_F(FaultTest, RefusedConnectionsFailWithinTheirBound) {
  CRefusingPort refusing;
  ASSERT_NE(refusing.Port(), 0);
  int16_t result = -1;
  EXPECT_LE(Took([&] { result = Ctrl().ConnectToORV2("127.0.0.1", I2(refusing.Port())); }), 1500u);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(CountLines("QuickConnect - socket Connect fail"), 1);
  // The main link tries four times with 2 s after each failure.
  const uint64_t took = Took([&] { result = Ctrl().ConnectToORV("127.0.0.1", I2(refusing.Port())); });
  EXPECT_EQ(result, 0);
  EXPECT_GE(took, 7500u);
  EXPECT_LE(took, 14000u);
  EXPECT_EQ(CountLines("ConnectToORV Fail."), 1);
  // Both slots hold unconnected links: requests fail over and give up.
  EXPECT_LE(Took([&] { Ctrl().GetCallID("2001", "A100", "T1"); }), 400u);
  EXPECT_EQ(CountLines(NoLinkText()), 1);
  EXPECT_TRUE(m_sink.m_events.empty());
  EXPECT_EQ(LiveLinkThreads(), 0);
}

TEST_F(FaultTest, AnUnresolvableHostNameFailsWithoutAConnect) {
  // An empty label: the resolver gives up before it asks anyone, so the
  // test sends nothing off this machine.
  const char* kHost = "unresolvable..host";
  int16_t result = -1;
  EXPECT_LE(Took([&] { result = Ctrl().ConnectToORV2(kHost, 5100); }), 1500u);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(CountLines("QuickConnect - socket Connect fail"), 1);
  EXPECT_EQ(CountLines(std::string("ConnectToORV2 : SERVER(") + kHost + "), PORT(5100)"), 1);
  const uint64_t took = Took([&] { result = Ctrl().ConnectToORV(kHost, 5100); });
  EXPECT_EQ(result, 0);
  EXPECT_LE(took, 14000u);
  EXPECT_EQ(CountLines("ConnectToORV Fail."), 1);
  EXPECT_EQ(LiveLinkThreads(), 0);
}

// ---- servers lost ---------------------------------------------------------------------

TEST_F(FaultTest, BothServersDownLeaveRequestsWithTheNoLinkLineUntilTheyReturn) {
  // One port serves both links when they reconnect (the port given last),
  // so both servers are one peer here: connection 0 main, 1 sub.
  ASSERT_TRUE(m_main.Listen());
  ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(m_main.Port())), 1);
  ASSERT_TRUE(m_main.WaitAccepted(1, kDeadlineMs));
  ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", I2(m_main.Port())), 1);
  ASSERT_TRUE(m_main.WaitAccepted(2, kDeadlineMs));
  LoginMain();
  m_main.StopListening();
  m_main.Close(0);
  m_main.Close(1);
  ASSERT_TRUE(Pump([&] { return m_sink.Count("Disconnected 2") == 2; }));
  auto requests = Requests();
  for (auto& r : requests) {
    SCOPED_TRACE(r.first);
    EXPECT_LE(Took(r.second), 400u);
  }
  EXPECT_EQ(CountLines(NoLinkText()), 5) << "GetCallID and the four information requests";
  // The reconnection goes on every 5 s while the servers are away ...
  ASSERT_TRUE(Pump([&] { return CountLines("QuickConnect - socket Connect fail") >= 2; }, kReconnectWaitMs));
  // ... and logs the agent in again on both links once they are back.
  ASSERT_TRUE(m_main.ListenAgain());
  ASSERT_TRUE(Pump([&] { return m_main.AcceptedCount() == 4; }, kReconnectWaitMs)) << m_main.AcceptedCount();
  for (int conn : {2, 3}) {
    ASSERT_TRUE(m_main.WaitPackets(1, kDeadlineMs, conn));
    EXPECT_EQ(Code(m_main.Packets(conn)[0]), C_LOGIN);
  }
  EXPECT_EQ(m_sink.Count("Disconnected 2"), 2);
}

TEST_F(FaultTest, RequestsFailOverToTheSubServerWhileTheMainIsLost) {
  ConnectBoth();
  LoginMain();
  m_main.StopListening();  // it stays away for this test
  m_main.Close(0);
  ASSERT_TRUE(Pump([&] { return m_sink.Count("Disconnected 2") == 1; }));
  const size_t subBefore = m_sub.Packets(0).size();
  for (auto& r : Requests()) r.second();
  ASSERT_TRUE(WaitUntil([&] { return CountCode(m_sub.Packets(0), C_STOP_SELECT_RECORD) == 1; }, kDeadlineMs));
  const auto got = m_sub.Packets(0);
  std::vector<uint16_t> codes;
  for (size_t i = subBefore; i < got.size(); ++i)
    if (Code(got[i]) != C_KEEP_ALIVE) codes.push_back(Code(got[i]));  // the 10 s timer may add one
  EXPECT_EQ(codes, (std::vector<uint16_t>{C_GET_RECORD_CALLID, C_MARK_INFO, C_BASIC_INFO, C_POST_INFO, C_EXTEND_INFO,
                                          C_SET_SELECTION_RECORD, C_START_SELECT_RECORD, C_STOP_SELECT_RECORD}));
  EXPECT_EQ(CountLines(NoLinkText()), 0);
  // The sub server answers on its own link, which the host still hears.
  ASSERT_TRUE(m_sub.Send(CallIdResponse("20240305-0001"), 0));
  ASSERT_TRUE(Pump([&] { return m_sink.Count("SetCurrentCallID \"20240305-0001\"") == 1; }));
}

// ---- boxes and the host ------------------------------------------------------------------

TEST_F(FaultTest, ABoxLeftOpenWhileItsLinkDropsHoldsOnlyThatLink) {
  ConnectBoth();
  m_agent.Hold();
  ASSERT_TRUE(m_main.Send(LoginResult(1), 0));
  ASSERT_TRUE(m_agent.WaitOpen(kDeadlineMs));
  m_main.Close(0);
  // The host and the other link go on while the agent has not answered.
  EXPECT_LE(Took([&] { Ctrl().GetCallID("2001", "A100", "T1"); }), 400u);
  ASSERT_TRUE(m_sub.Send(RecTypeChanged(5), 0));
  ASSERT_TRUE(Pump([&] { return m_sink.Count("RecTypeChange 5") == 1; }));
  EXPECT_EQ(m_agent.Open(), 1);
  EXPECT_EQ(m_sink.Count("Disconnected 2"), 0) << "the main link reads nothing while its box is open";
  // Closed: the main link reads on, finds the connection gone and says so.
  m_agent.Release();
  ASSERT_TRUE(Pump([&] { return m_sink.Count("Disconnected 2") == 1; }));
  ASSERT_EQ(m_agent.Boxes().size(), 1u);
  EXPECT_EQ(m_agent.Boxes()[0].text, K("비밀번호가 틀렸습니다."));
}

TEST_F(FaultTest, HostDestroysTheControlWhileANotificationWaitsForIt) {
  ConnectBoth();
  // The host is busy (not pumping) when the server's news arrives.
  ASSERT_TRUE(m_main.Send(RecTypeChanged(1), 0));
  ASSERT_TRUE(m_sub.Send(StatusChanged(2), 0));
  ASSERT_TRUE(WaitUntil(
      [&] { return m_log.Find("record type changed - 1") >= 0 && m_log.Find("agent status changed - 2") >= 0; },
      kDeadlineMs));
  EXPECT_LE(Took([&] { DestroyCtrl(); }), 2000u) << "tear-down releases the waiting threads";
  EXPECT_TRUE(m_bDestroyed);
  EXPECT_TRUE(m_sink.m_events.empty()) << "no event reaches a host that let the control go";
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
  EXPECT_TRUE(m_main.WaitPeerClosed(kDeadlineMs, 0));
  EXPECT_TRUE(m_sub.WaitPeerClosed(kDeadlineMs, 0));
}

TEST_F(FaultTest, HostDestroysTheControlWhileABoxIsOpen) {
  struct SCase {
    const char* szName;
    Bytes packet;
  } const kCases[] = {
      {"application box", LoginResult(2)},
      {"box owned by the manager's window", LoginResult(7)},
      {"forced log-out warning", LogoutAlarm("A200")},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    NewCtrl();
    CTestPeer peer;
    ASSERT_TRUE(peer.Listen());
    ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(peer.Port())), 1);
    ASSERT_TRUE(peer.WaitAccepted(1, kDeadlineMs));
    m_agent.Hold();
    ASSERT_TRUE(peer.Send(c.packet));
    ASSERT_TRUE(Pump([&] { return m_agent.Open() == 1; }));
    EXPECT_LE(Took([&] { DestroyCtrl(); }), 2000u) << "tear-down does not wait for the agent";
    EXPECT_TRUE(m_bDestroyed);
    EXPECT_EQ(LiveLinkThreads(), 1) << "the box's thread still runs";
    m_agent.Release();  // the thread returns into a link whose owner is gone
    EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
    EXPECT_TRUE(peer.WaitPeerClosed(kDeadlineMs));
  }
}

TEST_F(FaultTest, HostDestroysTheControlFromInsideTheLostLinkEvent) {
  ConnectBoth();
  bool destroyAsked = false, usable = false;
  m_sink.m_onEvent = [&](const std::string& e) {
    if (e != "Disconnected 2" || destroyAsked) return;
    destroyAsked = true;
    CTessorCtrl::Destroy(m_ctrl);  // deferred: the control's code is on the stack
    usable = Ctrl().GetAStatus() == 0 && !m_bDestroyed;
  };
  m_main.StopListening();
  m_main.Close(0);
  ASSERT_TRUE(Pump([&] { return m_bDestroyed; }));
  m_ctrl = nullptr;
  EXPECT_TRUE(destroyAsked);
  EXPECT_TRUE(usable) << "the control stays whole until the handler has returned";
  EXPECT_EQ(m_sink.m_events, std::vector<std::string>{"Disconnected 2"});
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
  EXPECT_TRUE(m_sub.WaitPeerClosed(kDeadlineMs, 0));
}

}  // namespace
}  // namespace tessor::faults
