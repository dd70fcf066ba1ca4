// What the control's tests share: a host that records the events it
// receives, a fixture with an activated control and two scripted servers,
// reading the log and the wire, and pumping the host loop.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/LastLogin.h"
#include "common/RunFlag.h"
#include "control/TessorCtrl.h"
#include "control/Variant.h"
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

namespace tessor::testing {

using Packet = std::vector<uint8_t>;

constexpr int kDeadlineMs = 5000;
constexpr const char* kBarrier = "~barrier~";

inline uint64_t Now() { return platform::MonotonicMs(); }

// Log lines (CP949) as readable text, one per line: comparisons whose
// failure a person has to read.
inline std::string Readable(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += platform::Cp949ToUtf8(l) + "\n";
  return out;
}

inline uint16_t Code(const Packet& p) { return p.size() >= HEADER_LENGTH ? GetU16(p.data() + 2) : 0; }

inline std::string Field(const Packet& p, size_t offset, size_t width) {
  if (p.size() < offset + width) return "<short packet>";
  const char* s = reinterpret_cast<const char*>(p.data() + offset);
  return std::string(s, ::strnlen(s, width));
}

// The port as the host passes it: an I2, so ports above 32767 are negative.
inline int16_t I2(uint16_t port) { return static_cast<int16_t>(port); }

// Runs the host loop until pred holds, looking at pred every few
// milliseconds: a condition made true by another thread needs no host
// work to wake the loop.
inline bool Pump(const std::function<bool()>& pred, int ms = kDeadlineMs) {
  const uint64_t deadline = Now() + static_cast<uint64_t>(ms);
  auto loop = platform::CHostLoop::ForCurrentThread();
  for (;;) {
    if (loop->RunUntil(pred, 5)) return true;
    if (Now() >= deadline) return pred();
  }
}

struct SEvent {
  int nDispId;
  std::string strName;
  std::vector<CVariant> args;
};

// "Name arg ...": texts quoted (readable), numbers in decimal.
inline std::string Describe(const SEvent& e) {
  std::string s = e.strName;
  for (const auto& a : e.args) {
    if (a.vt == VT::BSTR)
      s += " \"" + platform::Cp949ToUtf8(a.str) + "\"";
    else
      s += " " + std::to_string(a.n);
  }
  return s;
}

// The host's event sink. Events arrive on the host thread only.
class CRecordingSink : public IEventSink {
 public:
  void OnEvent(int dispid, const char* name, const std::vector<CVariant>& args) override {
    const SEvent e{dispid, name, args};
    m_events.push_back(e);
    if (m_onEvent) m_onEvent(e);
  }
  std::vector<std::string> Described() const {
    std::vector<std::string> out;
    for (const auto& e : m_events) out.push_back(Describe(e));
    return out;
  }

  std::vector<SEvent> m_events;
  std::function<void(const SEvent&)> m_onEvent;  // runs inside the firing
};

inline bool IsBarrier(const Packet& p) {
  return Code(p) == C_LOGOUT && Field(p, layout::LOGOUT_EXTNO, W_EXTNO) == kBarrier;
}

// Reads what one connection of a peer received, batch by batch. A batch
// ends with a barrier that the test sends on the link itself (a log-out
// packet with a marker): TCP keeps the order, so once the barrier is there,
// everything the link sent before it is there too.
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

inline std::vector<uint16_t> Codes(const std::vector<Packet>& batch) {
  std::vector<uint16_t> out;
  for (const auto& p : batch) out.push_back(Code(p));
  return out;
}

inline Packet LoginResult(uint16_t result, uint16_t recordType) {
  return CTestPeer::Packet(C_LOGIN_RESULT, SIZE_LOGIN_RESULT, [&](uint8_t* p) {
    PutU16(p + layout::LOGIN_RESULT_CODE, result);
    PutU16(p + layout::LOGIN_RESULT_RECTYPE, recordType);
  });
}

// An activated control (its window and the manager's exist) with a
// recording sink, as a host sets it up; no module start, so g_bRun is
// false until ConnectToORV.
class ControlFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    g_bRun = false;
    LastLogin().ResetForTest();
    m_ctrl = std::make_unique<CTessorCtrl>();
    ASSERT_TRUE(m_ctrl->CreateControlWindow());
    m_ctrl->AddSink(&m_sink);
  }
  void TearDown() override {
    m_ctrl.reset();
    platform::SetMessageBoxPresenter({});
    g_bRun = false;
    EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, 10000)) << "a receive thread outlived the control";
    // Module end joins the ended threads; there is none in this binary.
    EXPECT_EQ(JoinAllLinkThreads(1000), 0);
  }

  CTessorCtrl& Ctrl() { return *m_ctrl; }
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

  // ConnectToORV to m_main and ConnectToORV2 to m_sub; both accepted.
  void ConnectBoth() {
    ASSERT_TRUE(m_main.Listen());
    ASSERT_TRUE(m_sub.Listen());
    ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(m_main.Port())), 1);
    ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", I2(m_sub.Port())), 1);
    ASSERT_TRUE(m_main.WaitAccepted(1, kDeadlineMs));
    ASSERT_TRUE(m_sub.WaitAccepted(1, kDeadlineMs));
  }
  std::vector<Packet> TakeMain() { return m_mainWire.Take(*Ctrl().Manager().MainLink()); }
  std::vector<Packet> TakeSub() { return m_subWire.Take(*Ctrl().Manager().SubLink()); }

  // Runs fn on a second thread, as a receive thread delivers to the
  // control, while the host thread pumps; returns when fn has returned.
  bool FromReceiveThread(const std::function<void()>& fn, int ms = 15000) {
    std::atomic<bool> done{false};
    std::thread receive([&] {
      fn();
      done = true;
    });
    const bool ok = Pump([&] { return done.load(); }, ms);
    if (!ok) Ctrl().DestroyWindow();  // releases the sender
    receive.join();
    return ok;
  }

  CLogDir m_log;
  CTestPeer m_main, m_sub;
  CWire m_mainWire{m_main, 0}, m_subWire{m_sub, 0};
  CRecordingSink m_sink;
  std::unique_ptr<CTessorCtrl> m_ctrl;
};

}  // namespace tessor::testing
