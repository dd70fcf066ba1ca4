// Tests of the connection manager CTessorDlg: request routing with
// fail-over, the connect rules, keep-alive and reconnection, the messages
// it sends to the control's window, and tear-down while a receive thread
// waits on the host thread or on an open box.
//
// The test's own thread is the host thread. A small window stands in for
// the control and records the six messages; scripted peers on 127.0.0.1
// play the main and the sub server.
#include "manager/TessorDlg.h"

#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/LastLogin.h"
#include "common/RunFlag.h"
#include "common/WindowMessages.h"
#include "link/NThread.h"
#include "link/ORVInterface.h"
#include "link/Protocol.h"
#include "platform/CodePage.h"
#include "platform/HostLoop.h"
#include "platform/MessageBox.h"
#include "platform/Thread.h"
#include "tests/support/LogDir.h"
#include "tests/support/TestPeer.h"
#include "tests/support/Wait.h"

namespace tessor {
namespace {

using platform::CHostLoop;
using platform::HWND;
using platform::LPARAM;
using platform::UINT;
using Packet = std::vector<uint8_t>;

constexpr int kDeadlineMs = 5000;
constexpr const char* kBarrier = "~barrier~";

std::string NoLinkText() { return K("MAIN ORV, SUB ORV 모두 통신이 안됩니다. 네트웍 상태를 점검하십시요."); }
std::string NoCallIdText() { return K("CALLID 가 NULL 입니다. CALLID를 요청했는지 확인하십시요."); }

// Log lines as readable text, for comparisons whose failure a person reads.
std::string Readable(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += platform::Cp949ToUtf8(l) + "\n";
  return out;
}

uint16_t Code(const Packet& p) { return p.size() >= HEADER_LENGTH ? GetU16(p.data() + 2) : 0; }

std::string Field(const Packet& p, size_t offset, size_t width) {
  if (p.size() < offset + width) return "<short packet>";
  const char* s = reinterpret_cast<const char*>(p.data() + offset);
  return std::string(s, ::strnlen(s, width));
}

uint64_t Now() { return platform::MonotonicMs(); }

// Runs the host loop until pred holds. It looks at pred every few
// milliseconds, since a condition that another thread makes true needs no
// host work to wake the loop.
bool Pump(const std::function<bool()>& pred, int ms = kDeadlineMs) {
  const uint64_t deadline = Now() + static_cast<uint64_t>(ms);
  auto loop = CHostLoop::ForCurrentThread();
  for (;;) {
    if (loop->RunUntil(pred, 5)) return true;
    if (Now() >= deadline) return pred();
  }
}

// What the host and the agent saw, in order, whichever thread saw it
// (messages arrive on the host thread, boxes on receive threads).
class CJournal {
 public:
  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_entries.push_back(entry);
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_entries;
  }
  int Count(const std::string& entry) const {
    std::lock_guard<std::mutex> guard(m_lock);
    int n = 0;
    for (const auto& e : m_entries) n += e == entry ? 1 : 0;
    return n;
  }
  int CountPrefix(const std::string& prefix) const {
    std::lock_guard<std::mutex> guard(m_lock);
    int n = 0;
    for (const auto& e : m_entries) n += e.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
  }

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_entries;
};

// Stands in for the control's window. Each of the six messages becomes
// "WM_NAME lParam"; WM_SET_CALLID also carries the call id it finds in the
// manager, read inside the handler as the control reads it.
class CFakeCtrl : public platform::CWindow {
 public:
  explicit CFakeCtrl(CJournal& journal) : m_journal(journal) {}
  ~CFakeCtrl() override { DestroyWindow(); }

  platform::LRESULT WindowProc(UINT msg, platform::WPARAM wParam, LPARAM lParam) override {
    const char* name = Name(msg);
    if (name == nullptr) return CWindow::WindowProc(msg, wParam, lParam);
    std::string entry = std::string(name) + " " + std::to_string(lParam);
    if (msg == WM_SET_CALLID && m_pDlg != nullptr) entry += " " + m_pDlg->CopyCallID();
    m_journal.Add(entry);
    if (m_onMessage) m_onMessage(msg);
    return 0;
  }

  CTessorDlg* m_pDlg = nullptr;
  std::function<void(UINT)> m_onMessage;  // runs inside the handler

 private:
  static const char* Name(UINT msg) {
    switch (msg) {
      case WM_SET_CALLID: return "WM_SET_CALLID";
      case WM_LOGIN_SUCCESS: return "WM_LOGIN_SUCCESS";
      case WM_RECTYPE_CHANGE: return "WM_RECTYPE_CHANGE";
      case WM_AGENT_STATUS_CHANGE: return "WM_AGENT_STATUS_CHANGE";
      case WM_DISCONNECTED: return "WM_DISCONNECTED";
      case WM_SET_TELNUMBER: return "WM_SET_TELNUMBER";
      default: return nullptr;
    }
  }
  CJournal& m_journal;
};

// A manager inside its control's window, set up the way the control does.
struct CWorld {
  CWorld() {
    EXPECT_TRUE(ctrl.CreateWindowOn(nullptr));
    dlg = std::make_unique<CTessorDlg>();
    EXPECT_TRUE(dlg->Create(&ctrl));
    dlg->SetCtrl(&ctrl);
    ctrl.m_pDlg = dlg.get();
  }
  ~CWorld() { DestroyManager(); }
  void DestroyManager() {
    ctrl.m_pDlg = nullptr;
    dlg.reset();
  }
  HWND Self() const { return dlg->GetSafeHwnd(); }

  CJournal journal;
  CFakeCtrl ctrl{journal};
  std::unique_ptr<CTessorDlg> dlg;
};

bool IsBarrier(const Packet& p) {
  return Code(p) == C_LOGOUT && Field(p, layout::LOGOUT_EXTNO, W_EXTNO) == kBarrier;
}

// Reads what one connection of a peer received, batch by batch. A batch
// ends with a barrier that the test sends on the link itself (a log-out
// packet the manager never sends): TCP keeps the order, so once the
// barrier is there, everything the link sent before it is there too.
class CWire {
 public:
  CWire(CTestPeer& peer, int conn) : m_peer(peer), m_conn(conn) {}

  std::vector<Packet> Take(CORVInterface& link) {
    SendLogoutPacket(link, kBarrier, kBarrier, kBarrier);
    size_t end = 0;
    const bool arrived = WaitUntil(
        [&] {
          const auto all = m_peer.Packets(m_conn);
          for (size_t i = m_seen; i < all.size(); ++i) {
            if (IsBarrier(all[i])) {
              end = i;
              return true;
            }
          }
          return false;
        },
        kDeadlineMs);
    EXPECT_TRUE(arrived) << "the barrier did not arrive";
    if (!arrived) return {};
    const auto all = m_peer.Packets(m_conn);
    std::vector<Packet> batch(all.begin() + static_cast<std::ptrdiff_t>(m_seen),
                              all.begin() + static_cast<std::ptrdiff_t>(end));
    m_seen = end + 1;
    return batch;
  }

 private:
  CTestPeer& m_peer;
  int m_conn;
  size_t m_seen = 0;
};

// Connects a slot to its peer (listening first if it does not yet).
bool ConnectSlot(CWorld& w, bool bMain, CTestPeer& peer, const char* server = "127.0.0.1") {
  if (peer.Port() == 0 && !peer.Listen()) return false;
  const int before = peer.AcceptedCount();
  const bool ok = bMain ? w.dlg->ConnectMain(server, peer.Port()) : w.dlg->ConnectSub(server, peer.Port());
  return ok && peer.WaitAccepted(before + 1, kDeadlineMs);
}

// The server closes a connected link: the host hears Disconnected(2), the
// slot gets a fresh unconnected link and its reconnection timer is armed.
// Unless bKeepTimer, the timer is killed again so that the state stays.
bool LoseLink(CWorld& w, CTestPeer& peer, int conn, bool bMain, bool bKeepTimer) {
  const auto old = bMain ? w.dlg->MainLink() : w.dlg->SubLink();
  const int before = w.journal.Count("WM_DISCONNECTED 2");
  const uintptr_t timer = bMain ? TIMER_RECONNECT_MAIN : TIMER_RECONNECT_SUB;
  peer.Close(conn);
  if (!Pump([&] { return w.journal.Count("WM_DISCONNECTED 2") > before && platform::IsTimerArmed(w.Self(), timer); }))
    return false;
  const auto fresh = bMain ? w.dlg->MainLink() : w.dlg->SubLink();
  if (!fresh || fresh == old || fresh->m_socket.IsConnected()) return false;
  if (!bKeepTimer) platform::KillTimer(w.Self(), timer);
  return true;
}

Packet CallIdResponse(const std::string& id) {
  return CTestPeer::Packet(C_GET_RECORD_CALLID_RESPONSE, SIZE_GET_RECORD_CALLID_RESPONSE, [&](uint8_t* p) {
    ::memcpy(p + layout::CALLID_RESPONSE_CALLID, id.data(), std::min<size_t>(id.size(), W_CALLID));
  });
}

Packet LogoutAlarm(const std::string& agent) {
  return CTestPeer::Packet(C_LOGOUT_ALARM, SIZE_LOGOUT_ALARM, [&](uint8_t* p) {
    ::memcpy(p + layout::LOGOUT_ALARM_AGENT, agent.data(), std::min<size_t>(agent.size(), W_ALARM_AGENT));
  });
}

Packet LoginResult(uint16_t result) {
  return CTestPeer::Packet(C_LOGIN_RESULT, SIZE_LOGIN_RESULT,
                           [&](uint8_t* p) { PutU16(p + layout::LOGIN_RESULT_CODE, result); });
}

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_bRun = true;  // no module start in this binary
    LastLogin().ResetForTest();
    m_world = std::make_unique<CWorld>();
  }
  void TearDown() override {
    m_world.reset();
    platform::SetMessageBoxPresenter({});
    g_bRun = false;
    EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, 10000)) << "a receive thread outlived its manager";
    // Module end joins the ended threads; there is none in this binary.
    EXPECT_EQ(JoinAllLinkThreads(1000), 0);
  }

  CTessorDlg& Dlg() { return *m_world->dlg; }
  CJournal& Journal() { return m_world->journal; }
  size_t Mark() const { return m_log.Messages().size(); }
  std::vector<std::string> Since(size_t mark) const {
    const auto all = m_log.Messages();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end());
  }
  int CountLines(const std::string& line) const {
    int n = 0;
    for (const auto& m : m_log.Messages()) n += m == line ? 1 : 0;
    return n;
  }

  CLogDir m_log;
  CTestPeer m_main, m_sub;
  std::unique_ptr<CWorld> m_world;
};

// ---- routing ------------------------------------------------------------------

enum class ELink { kEmpty, kConnected, kUnconnected };
enum class ELine { kNone, kNoLink, kNoCallId };
enum class EKind { kGetCallId, kInfo, kSetSelection, kStartStop, kKeepAlive };

struct SReach {
  bool bMain;
  bool bSub;
  ELine line;
};

struct SOperation {
  const char* szName;
  uint16_t nCode;
  EKind kind;
  void (*call)(CTessorDlg&, const char* CallID);
};

const SOperation kOperations[] = {
    {"GetCallID", C_GET_RECORD_CALLID, EKind::kGetCallId,
     [](CTessorDlg& d, const char*) { d.GetCallID("4001", "agent01", "T1"); }},
    {"SendMarkInfo", C_MARK_INFO, EKind::kInfo,
     [](CTessorDlg& d, const char* c) { d.SendMarkInfo("4001", c, "agent01", "T1"); }},
    {"SendBasicInfo", C_BASIC_INFO, EKind::kInfo,
     [](CTessorDlg& d, const char* c) { d.SendBasicInfo("4001", c, "0212345678", "1588", "agent01", "T1", 1); }},
    {"SendPostInfo", C_POST_INFO, EKind::kInfo,
     [](CTessorDlg& d, const char* c) { d.SendPostInfo("4001", c, "20240305120000", "note", "agent01", "T1"); }},
    {"SendExtendInfo", C_EXTEND_INFO, EKind::kInfo,
     [](CTessorDlg& d, const char* c) {
       d.SendExtendInfo("4001", c, "KIM", "C-77", "0101234567", "i1", "i2", "i3", "i4", "i5", "agent01", "T1");
     }},
    {"SetSelectionRecord", C_SET_SELECTION_RECORD, EKind::kSetSelection,
     [](CTessorDlg& d, const char* c) { d.SetSelectionRecord("4001", c, "agent01", "T1"); }},
    {"StartSelectRecord", C_START_SELECT_RECORD, EKind::kStartStop,
     [](CTessorDlg& d, const char* c) { d.StartSelectRecord("4001", c, "agent01", "T1"); }},
    {"StopSelectRecord", C_STOP_SELECT_RECORD, EKind::kStartStop,
     [](CTessorDlg& d, const char* c) { d.StopSelectRecord("4001", c, "agent01", "T1"); }},
    {"keep-alive timer", C_KEEP_ALIVE, EKind::kKeepAlive,
     [](CTessorDlg& d, const char*) { d.OnTimer(TIMER_KEEPALIVE); }},
};

struct SRoutingCase {
  const char* szName;
  ELink main, sub;
  const char* szCallID;
  SReach getCallId, info, setSelection, startStop, keepAlive;

  const SReach& For(EKind kind) const {
    switch (kind) {
      case EKind::kGetCallId: return getCallId;
      case EKind::kInfo: return info;
      case EKind::kSetSelection: return setSelection;
      case EKind::kStartStop: return startStop;
      case EKind::kKeepAlive: break;
    }
    return keepAlive;
  }
};

constexpr ELink E = ELink::kEmpty, C = ELink::kConnected, U = ELink::kUnconnected;
constexpr ELine N = ELine::kNone, NL = ELine::kNoLink, NC = ELine::kNoCallId;

// Who gets each request: {main, sub, log line}. "Unconnected" is a link
// object in its slot whose server went away (the replacement link).
const SRoutingCase kRoutingCases[] = {
    //                                                     GetCallID     4 x Send...  SetSelection  Start/Stop  keep-alive
    {"both connected", C, C, "C-1", {1, 0, N}, {1, 0, N}, {1, 1, N}, {1, 1, N}, {1, 1, N}},
    {"main connected, sub unconnected", C, U, "C-1", {1, 0, N}, {1, 0, N}, {1, 0, N}, {1, 0, N}, {1, 0, N}},
    {"main unconnected: fail-over to sub", U, C, "C-1", {0, 1, N}, {0, 1, N}, {0, 1, N}, {0, 1, N}, {0, 1, N}},
    {"main unconnected, no sub: the no-link line", U, E, "C-1", {0, 0, NL}, {0, 0, NL}, {0, 0, N}, {0, 0, N},
     {0, 0, N}},
    {"main slot empty, sub connected", E, C, "C-1", {0, 0, N}, {0, 0, N}, {0, 1, N}, {0, 1, N}, {0, 0, N}},
    {"no link at all", E, E, "C-1", {0, 0, N}, {0, 0, N}, {0, 0, N}, {0, 0, N}, {0, 0, N}},
    {"empty CallID, both connected", C, C, "", {1, 0, N}, {0, 0, NC}, {0, 0, NC}, {1, 1, N}, {1, 1, N}},
    {"empty CallID, main slot empty", E, C, "", {0, 0, N}, {0, 0, N}, {0, 0, NC}, {0, 1, N}, {0, 0, N}},
    {"empty CallID, no link at all", E, E, "", {0, 0, N}, {0, 0, N}, {0, 0, NC}, {0, 0, N}, {0, 0, N}},
};

bool Arrange(CWorld& w, bool bMain, ELink state, CTestPeer& peer) {
  if (state == ELink::kEmpty) return true;
  if (!ConnectSlot(w, bMain, peer)) return false;
  return state == ELink::kConnected || LoseLink(w, peer, 0, bMain, false);
}

void ExpectReached(const std::vector<Packet>& batch, bool bExpected, const SOperation& op, const char* CallID) {
  if (!bExpected) {
    EXPECT_TRUE(batch.empty()) << batch.size() << " packet(s), the first with code "
                               << (batch.empty() ? 0 : Code(batch[0]));
    return;
  }
  ASSERT_EQ(batch.size(), 1u);
  const Packet& p = batch[0];
  EXPECT_EQ(Code(p), op.nCode);
  if (op.kind == EKind::kKeepAlive) {
    EXPECT_EQ(p.size(), SIZE_KEEP_ALIVE);
    return;
  }
  EXPECT_EQ(Field(p, layout::INFO_AID, W_AID), "agent01");  // AID leads every request here
  if (op.kind == EKind::kGetCallId) {
    EXPECT_EQ(Field(p, layout::GETCALLID_EXTNO, W_EXTNO), "4001");
  } else {
    EXPECT_EQ(Field(p, layout::INFO_CALLID, W_CALLID), CallID);
  }
}

TEST_F(ManagerTest, EveryRequestTakesTheLinksOfTheRoutingTable) {
  for (const auto& c : kRoutingCases) {
    SCOPED_TRACE(c.szName);
    CTestPeer mainPeer, subPeer;
    CWorld w;
    ASSERT_TRUE(Arrange(w, true, c.main, mainPeer));
    ASSERT_TRUE(Arrange(w, false, c.sub, subPeer));
    CWire mainWire(mainPeer, 0), subWire(subPeer, 0);
    for (const auto& op : kOperations) {
      SCOPED_TRACE(op.szName);
      const SReach& want = c.For(op.kind);
      const size_t mark = Mark();
      op.call(*w.dlg, c.szCallID);
      std::vector<std::string> wantLines;
      if (want.line == ELine::kNoLink) wantLines.push_back(NoLinkText());
      if (want.line == ELine::kNoCallId) wantLines.push_back(NoCallIdText());
      EXPECT_EQ(Readable(Since(mark)), Readable(wantLines));
      if (c.main == ELink::kConnected) ExpectReached(mainWire.Take(*w.dlg->MainLink()), want.bMain, op, c.szCallID);
      if (c.sub == ELink::kConnected) ExpectReached(subWire.Take(*w.dlg->SubLink()), want.bSub, op, c.szCallID);
    }
  }
}

// ---- connecting -----------------------------------------------------------------

TEST_F(ManagerTest, SecondConnectOfASlotIsRefusedAndChangesNothing) {
  CTestPeer other;
  ASSERT_TRUE(other.Listen());
  for (const bool bMain : {true, false}) {
    SCOPED_TRACE(bMain ? "main" : "sub");
    CTestPeer& peer = bMain ? m_main : m_sub;
    ASSERT_TRUE(ConnectSlot(*m_world, bMain, peer));
    const auto first = bMain ? Dlg().MainLink() : Dlg().SubLink();
    EXPECT_EQ(Dlg().Port(), peer.Port());

    const uint64_t start = Now();
    EXPECT_FALSE(bMain ? Dlg().ConnectMain("localhost", other.Port()) : Dlg().ConnectSub("localhost", other.Port()));
    EXPECT_LT(Now() - start, 500u) << "no connect attempt is made";
    EXPECT_EQ(Dlg().Port(), peer.Port());
    EXPECT_EQ(bMain ? Dlg().MainServer() : Dlg().SubServer(), "127.0.0.1");
    EXPECT_EQ(bMain ? Dlg().MainLink() : Dlg().SubLink(), first);
    EXPECT_TRUE(first->m_socket.IsConnected());
  }
}

// Slow: a refused main server costs the four attempts of ConnectMain.
TEST_F(ManagerTest, FailedConnectMainKeepsItsLinkAndStillRefusesASecondConnect) {
  CTestPeer gone;
  ASSERT_TRUE(gone.Listen());
  const uint16_t refused = gone.Port();
  gone.StopListening();
  ASSERT_TRUE(m_main.Listen());

  uint64_t start = Now();
  EXPECT_FALSE(Dlg().ConnectMain("127.0.0.1", refused));
  EXPECT_GE(Now() - start, 7500u) << "four attempts, 2 s apart";
  const auto link = Dlg().MainLink();
  ASSERT_TRUE(link) << "the unconnected link stays in its slot";
  EXPECT_FALSE(link->m_socket.IsConnected());

  start = Now();
  EXPECT_FALSE(Dlg().ConnectMain("localhost", m_main.Port()));
  EXPECT_LT(Now() - start, 500u);
  EXPECT_EQ(Dlg().Port(), refused);
  EXPECT_EQ(Dlg().MainServer(), "127.0.0.1");
  EXPECT_EQ(Dlg().MainLink(), link);
}

// ---- keep-alive and reconnection --------------------------------------------------

// Slow: waits for the first tick of the 10 s keep-alive timer.
TEST_F(ManagerTest, KeepAliveGoesOutEveryTenSecondsOnMainAndSub) {
  m_world.reset();
  const uint64_t created = Now();
  m_world = std::make_unique<CWorld>();  // arms the keep-alive timer
  ASSERT_TRUE(ConnectSlot(*m_world, true, m_main));
  ASSERT_TRUE(ConnectSlot(*m_world, false, m_sub));

  auto keepAlives = [](const CTestPeer& peer) {
    int n = 0;
    for (const auto& p : peer.Packets(0)) n += Code(p) == C_KEEP_ALIVE ? 1 : 0;
    return n;
  };
  ASSERT_TRUE(Pump([&] { return keepAlives(m_main) >= 1 && keepAlives(m_sub) >= 1; }, 13000));
  EXPECT_GE(Now() - created, 9500u);
  EXPECT_EQ(keepAlives(m_main), 1);
  EXPECT_EQ(keepAlives(m_sub), 1);
  // Written by hand: Lead 0x0101, code 72, header 16, no body.
  const Packet golden = {0x01, 0x01, 0x48, 0x00, 0x10, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
  for (CTestPeer* peer : {&m_main, &m_sub}) {
    for (const auto& p : peer->Packets(0)) {
      if (Code(p) == C_KEEP_ALIVE) {
        EXPECT_EQ(p, golden);
      }
    }
  }
  EXPECT_TRUE(platform::IsTimerArmed(m_world->Self(), TIMER_KEEPALIVE)) << "the keep-alive timer is periodic";
}

// Slow: two rounds of the 5 s reconnection timer.
TEST_F(ManagerTest, LostLinksReconnectEveryFiveSecondsToTheLastPortAndLogInAgain) {
  LastLogin().Store("4001", "agent01", "pw-4001", "T1");
  ASSERT_TRUE(m_main.Listen());
  ASSERT_TRUE(m_sub.Listen());
  // The main server by host name: its whole text is kept for reconnection.
  ASSERT_TRUE(ConnectSlot(*m_world, true, m_main, "localhost"));
  ASSERT_TRUE(ConnectSlot(*m_world, false, m_sub));
  EXPECT_EQ(Dlg().Port(), m_sub.Port()) << "one port for both links: the last one given";
  ASSERT_TRUE(m_sub.WaitPackets(1, kDeadlineMs, 0));
  EXPECT_EQ(Code(m_sub.Packets(0)[0]), C_LOGIN) << "ConnectSub logs in with the stored login at once";

  m_sub.StopListening();
  m_main.Close(0);
  m_sub.Close(0);
  ASSERT_TRUE(Pump([&] { return Journal().Count("WM_DISCONNECTED 2") == 2; }));
  const uint64_t lost = Now();

  // One attempt per link after 5 s, refused while the server is away.
  const std::string fail = "QuickConnect - socket Connect fail";
  ASSERT_TRUE(Pump([&] { return CountLines(fail) >= 2; }, 9000));
  EXPECT_GE(Now() - lost, 4500u);
  EXPECT_EQ(CountLines(fail), 2);
  ASSERT_TRUE(m_sub.ListenAgain());

  // 5 s later both are back, both on the sub server's port, and logged in.
  ASSERT_TRUE(Pump([&] { return m_sub.AcceptedCount() == 3 && m_sub.WaitPackets(1, 0, 1) && m_sub.WaitPackets(1, 0, 2); },
                   9000));
  EXPECT_EQ(CountLines(fail), 2);
  EXPECT_EQ(m_main.AcceptedCount(), 1) << "the main link reconnects to the shared port, not to its first one";
  for (int conn : {1, 2}) {
    SCOPED_TRACE(conn);
    const Packet login = m_sub.Packets(conn)[0];
    EXPECT_EQ(Code(login), C_LOGIN);
    EXPECT_EQ(Field(login, layout::LOGIN_EXTNO, W_EXTNO), "4001");
    EXPECT_EQ(Field(login, layout::LOGIN_TENANT, W_TENANT), "T1");
    EXPECT_EQ(Field(login, layout::LOGIN_AID, W_AID), "agent01");
    EXPECT_EQ(Field(login, layout::LOGIN_PWD, W_PWD), "pw-4001");
  }
  ASSERT_TRUE(Dlg().MainLink() && Dlg().SubLink());
  EXPECT_TRUE(Dlg().MainLink()->m_socket.IsConnected());
  EXPECT_TRUE(Dlg().SubLink()->m_socket.IsConnected());

  // Both links receive again.
  ASSERT_TRUE(m_sub.Send(CallIdResponse("CALL-A"), 1));
  ASSERT_TRUE(Pump([&] { return Journal().Count("WM_SET_CALLID 0 CALL-A") == 1; }));
  ASSERT_TRUE(m_sub.Send(CallIdResponse("CALL-B"), 2));
  ASSERT_TRUE(Pump([&] { return Journal().Count("WM_SET_CALLID 0 CALL-B") == 1; }));
}

TEST_F(ManagerTest, ReconnectionTimerReconnectsWithTheWholeServerTextAndThenLeavesTheLinkAlone) {
  LastLogin().Store("4001", "agent01", "pw-4001", "T1");
  // 127.0.0.1 written with 16 characters: only the first 15 fit the
  // stored field, and those are no address at all.
  const char* longText = "127.0.000000.0x1";
  ASSERT_TRUE(ConnectSlot(*m_world, true, m_main, longText));
  EXPECT_EQ(Dlg().MainServer(), std::string(longText, 15));
  ASSERT_TRUE(LoseLink(*m_world, m_main, 0, true, true));

  Dlg().OnTimer(TIMER_RECONNECT_MAIN);  // as its WM_TIMER would
  EXPECT_FALSE(platform::IsTimerArmed(m_world->Self(), TIMER_RECONNECT_MAIN));
  const auto link = Dlg().MainLink();
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->m_socket.IsConnected());
  ASSERT_TRUE(m_main.WaitAccepted(2, kDeadlineMs));
  ASSERT_TRUE(m_main.WaitPackets(1, kDeadlineMs, 1));
  EXPECT_EQ(Code(m_main.Packets(1)[0]), C_LOGIN);

  // A timer that finds its link connected does nothing and stays killed.
  const size_t mark = Mark();
  Dlg().OnTimer(TIMER_RECONNECT_MAIN);
  EXPECT_FALSE(platform::IsTimerArmed(m_world->Self(), TIMER_RECONNECT_MAIN));
  EXPECT_EQ(Dlg().MainLink(), link);
  EXPECT_TRUE(link->m_socket.IsConnected());
  EXPECT_EQ(Readable(Since(mark)), "");

  // And the link receives.
  ASSERT_TRUE(m_main.Send(CallIdResponse("CALL-R"), 1));
  ASSERT_TRUE(Pump([&] { return Journal().Count("WM_SET_CALLID 0 CALL-R") == 1; }));
}

TEST_F(ManagerTest, ReconnectionTimerArmedBeforeDisconnectAllLaterDoesNothing) {
  ASSERT_TRUE(ConnectSlot(*m_world, true, m_main));
  ASSERT_TRUE(LoseLink(*m_world, m_main, 0, true, true));

  Dlg().DisconnectAll();
  EXPECT_FALSE(Dlg().MainLink());
  EXPECT_FALSE(Dlg().SubLink());
  EXPECT_TRUE(platform::IsTimerArmed(m_world->Self(), TIMER_RECONNECT_MAIN)) << "DisconnectAll kills no timer";

  const size_t mark = Mark();
  Dlg().OnTimer(TIMER_RECONNECT_MAIN);  // its WM_TIMER, 5 s later
  EXPECT_FALSE(platform::IsTimerArmed(m_world->Self(), TIMER_RECONNECT_MAIN)) << "not armed again";
  EXPECT_FALSE(Dlg().MainLink());
  EXPECT_EQ(Readable(Since(mark)), "") << "no connect attempt";
  EXPECT_EQ(Journal().Count("WM_DISCONNECTED 2"), 1);
}

// ---- notifications ----------------------------------------------------------------

TEST_F(ManagerTest, CallIdReachesTheControlCutTo127Bytes) {
  std::string id;
  for (int i = 0; i < 200; ++i) id += static_cast<char>('A' + i % 26);
  std::atomic<bool> done{false};
  std::thread receive([&] {
    Dlg().NotifyCallID(id.c_str());
    done = true;
  });
  const bool delivered = Pump([&] { return done.load(); });
  if (!delivered) m_world->ctrl.DestroyWindow();  // releases the sender
  receive.join();
  ASSERT_TRUE(delivered);
  EXPECT_EQ(Journal().Entries(), std::vector<std::string>{"WM_SET_CALLID 0 " + id.substr(0, 127)});
  EXPECT_EQ(Dlg().CopyCallID(), id.substr(0, 127));
}

// Slow: the other link's loop ends at its next readiness wait (5 s).
TEST_F(ManagerTest, ForcedLogoutAlarmWarnsAfterDisconnectedAndEndsBothLoops) {
  LastLogin().Store("4001", "agent01", "pw-4001", "T1");
  struct SBox {
    HWND hOwner;
    std::string strCaption, strText;
    unsigned nStyle;
  };
  std::mutex lock;
  std::vector<SBox> boxes;
  CJournal& journal = Journal();
  platform::SetMessageBoxPresenter([&](HWND owner, const std::string& caption, const std::string& text, unsigned style) {
    journal.Add("box");
    std::lock_guard<std::mutex> guard(lock);
    boxes.push_back({owner, caption, text, style});
    return platform::IDOK;
  });
  ASSERT_TRUE(ConnectSlot(*m_world, true, m_main));
  ASSERT_TRUE(ConnectSlot(*m_world, false, m_sub));

  // The agent field full: 32 bytes without a terminating zero.
  const std::string agent = K("홍길동") + std::string(26, 'A');
  ASSERT_EQ(agent.size(), W_ALARM_AGENT);
  ASSERT_TRUE(m_main.Send(LogoutAlarm(agent), 0));
  ASSERT_TRUE(Pump([&] { return journal.Count("box") == 1; }));

  EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"WM_DISCONNECTED 9", "box"}));
  {
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].hOwner, m_world->Self());
    EXPECT_EQ(platform::Cp949ToUtf8(boxes[0].strCaption), "녹취경고");
    EXPECT_EQ(boxes[0].nStyle, 0x50010u);
    EXPECT_EQ(platform::Cp949ToUtf8(boxes[0].strText),
              platform::Cp949ToUtf8(agent + K(" 상담원이 내선번호 4001로 로그인해서 자동 로그아웃 됩니다. 반드시 상담원 "
                                              "Application을 재시작 해야 합니다.")));
  }
  EXPECT_FALSE(g_bRun.load());

  // Both loops end quietly; nothing reconnects.
  ASSERT_TRUE(Pump([] { return LiveLinkThreads() == 0; }, 8000));
  EXPECT_EQ(CountLines("ReceiveProcess stopped"), 2);
  EXPECT_EQ(journal.Count("WM_DISCONNECTED 2"), 0);
  EXPECT_FALSE(platform::IsTimerArmed(m_world->Self(), TIMER_RECONNECT_MAIN));
  EXPECT_FALSE(platform::IsTimerArmed(m_world->Self(), TIMER_RECONNECT_SUB));
  EXPECT_TRUE(m_main.WaitPeerClosed(kDeadlineMs, 0));
  EXPECT_TRUE(m_sub.WaitPeerClosed(kDeadlineMs, 0));

  // The slots keep their closed links: requests find no link that takes them.
  ASSERT_TRUE(Dlg().MainLink() && Dlg().SubLink());
  const size_t mark = Mark();
  Dlg().GetCallID("4001", "agent01", "T1");
  EXPECT_EQ(Readable(Since(mark)), Readable({NoLinkText()}));
}

// ---- tear-down while a receive thread waits ---------------------------------------------

TEST_F(ManagerTest, DestroyedWhileACallIdWaitsForTheHostThread) {
  ASSERT_TRUE(ConnectSlot(*m_world, true, m_main));
  ASSERT_TRUE(m_main.Send(CallIdResponse("CALL-9"), 0));
  // The host thread does not pump: the receive thread waits in its send.
  auto loop = CHostLoop::ForCurrentThread();
  ASSERT_TRUE(WaitUntil([&] { return loop->NextDeadlineMs() == 0; }, kDeadlineMs));

  const uint64_t start = Now();
  m_world->DestroyManager();
  EXPECT_LT(Now() - start, 1000u);
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
  loop->Dispatch();
  EXPECT_EQ(Journal().CountPrefix("WM_SET_CALLID"), 0) << "dropped, not delivered late";
  EXPECT_TRUE(m_main.WaitPeerClosed(kDeadlineMs, 0));
}

TEST_F(ManagerTest, DestroyedFromInsideTheHandlerOfItsOwnNotification) {
  ASSERT_TRUE(ConnectSlot(*m_world, true, m_main));
  uint64_t took = 0;
  bool destroyed = false;
  m_world->ctrl.m_onMessage = [&](UINT msg) {
    if (msg != WM_SET_CALLID || destroyed) return;
    const uint64_t start = Now();
    m_world->DestroyManager();  // the receive thread still waits on this very message
    took = Now() - start;
    destroyed = true;
  };
  ASSERT_TRUE(m_main.Send(CallIdResponse("CALL-9"), 0));
  ASSERT_TRUE(Pump([&] { return destroyed; }));
  EXPECT_LT(took, 1000u);
  EXPECT_EQ(Journal().Entries(), std::vector<std::string>{"WM_SET_CALLID 0 CALL-9"});
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
  EXPECT_TRUE(m_main.WaitPeerClosed(kDeadlineMs, 0));
}

TEST_F(ManagerTest, DestroyedWhileABoxIsOpen) {
  struct SCase {
    const char* szName;
    Packet packet;
  };
  const SCase kCases[] = {
      {"forced log-out warning", LogoutAlarm("agent02")},
      {"login refused (result 7, owned by the manager's window)", LoginResult(7)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    g_bRun = true;
    std::mutex lock;
    std::condition_variable cv;
    bool open = false, release = false;
    platform::SetMessageBoxPresenter([&](HWND, const std::string&, const std::string&, unsigned) {
      std::unique_lock<std::mutex> lk(lock);
      open = true;
      cv.notify_all();
      cv.wait(lk, [&] { return release; });
      return platform::IDOK;
    });
    CTestPeer peer;
    CWorld w;
    ASSERT_TRUE(ConnectSlot(w, true, peer));
    ASSERT_TRUE(peer.Send(c.packet, 0));
    const bool opened = Pump([&] {
      std::lock_guard<std::mutex> guard(lock);
      return open;
    });

    const uint64_t start = Now();
    w.DestroyManager();
    const uint64_t took = Now() - start;
    {
      std::lock_guard<std::mutex> guard(lock);
      release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(opened);
    EXPECT_LT(took, 1000u);
    // The thread ends once the agent has closed the box, touching nothing freed.
    EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
    platform::SetMessageBoxPresenter({});
  }
}

}  // namespace
}  // namespace tessor
