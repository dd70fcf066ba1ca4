// What the fault, soak and security tests share: an activated control on
// the test thread with a recording host sink, message boxes that close at
// once or stay open until the test closes them, pumping the host loop, and
// the packets a server sends, laid out by hand.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/LastLogin.h"
#include "common/RunFlag.h"
#include "control/TessorCtrl.h"
#include "link/NThread.h"
#include "link/Protocol.h"
#include "platform/CodePage.h"
#include "platform/HostLoop.h"
#include "platform/MessageBox.h"
#include "platform/Thread.h"
#include "tests/support/LogDir.h"
#include "tests/support/TestPeer.h"
#include "tests/support/Wait.h"

namespace tessor::faults {

using Bytes = std::vector<uint8_t>;

constexpr int kDeadlineMs = 10000;       // bounds a failure only
constexpr int kReconnectWaitMs = 20000;  // the 5 s timer, the attempt, slack for the sanitizers

inline uint64_t Now() { return platform::MonotonicMs(); }
inline int16_t I2(uint16_t port) { return static_cast<int16_t>(port); }

// Runs the host loop until pred holds or ms pass. The predicate is looked
// at every few milliseconds, so a change made by another thread is seen.
inline bool Pump(const std::function<bool()>& pred, int ms = kDeadlineMs) {
  const uint64_t deadline = Now() + static_cast<uint64_t>(ms);
  auto loop = platform::CHostLoop::ForCurrentThread();
  for (;;) {
    if (loop->RunUntil(pred, 5)) return true;
    if (Now() >= deadline) return pred();
  }
}

inline uint16_t Code(const Bytes& p) { return p.size() >= HEADER_LENGTH ? GetU16(p.data() + 2) : 0; }

inline std::string Field(const Bytes& p, size_t offset, size_t width) {
  if (p.size() < offset + width) return "<short packet>";
  const char* s = reinterpret_cast<const char*>(p.data() + offset);
  return std::string(s, ::strnlen(s, width));
}

// Inbound packets, fields at the offsets of the wire tables.
inline Bytes LoginResult(uint16_t result, uint16_t recordType = 0) {
  return CTestPeer::Packet(C_LOGIN_RESULT, SIZE_LOGIN_RESULT, [&](uint8_t* p) {
    PutU16(p + 16, result);
    PutU16(p + 203, recordType);
  });
}
inline Bytes CallIdResponse(const std::string& id) {
  return CTestPeer::Packet(C_GET_RECORD_CALLID_RESPONSE, SIZE_GET_RECORD_CALLID_RESPONSE,
                           [&](uint8_t* p) { ::memcpy(p + 80, id.data(), std::min<size_t>(id.size(), 128)); });
}
inline Bytes StatusChanged(uint16_t status) {
  return CTestPeer::Packet(C_AGENT_STATUS_CHANGED, SIZE_AGENT_STATUS_CHANGED,
                           [&](uint8_t* p) { PutU16(p + 40, status); });
}
inline Bytes RecTypeChanged(uint16_t type) {
  return CTestPeer::Packet(C_RECORD_TYPE_CHANGED, SIZE_RECORD_TYPE_CHANGED, [&](uint8_t* p) { PutU16(p + 40, type); });
}
inline Bytes LogoutAlarm(const std::string& agent) {
  return CTestPeer::Packet(C_LOGOUT_ALARM, SIZE_LOGOUT_ALARM,
                           [&](uint8_t* p) { ::memcpy(p + 16, agent.data(), std::min<size_t>(agent.size(), 32)); });
}
inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline int CountCode(const std::vector<Bytes>& packets, uint16_t code) {
  int n = 0;
  for (const auto& p : packets) n += Code(p) == code ? 1 : 0;
  return n;
}

// The host's sink: "Name arg ...", texts quoted, numbers in decimal.
class CHostSink : public IEventSink {
 public:
  void OnEvent(int, const char* name, const std::vector<CVariant>& args) override {
    std::string s = name;
    for (const auto& a : args) s += a.vt == VT::BSTR ? " \"" + a.str + "\"" : " " + std::to_string(a.n);
    m_events.push_back(s);
    if (m_onEvent) m_onEvent(s);
  }
  int Count(const std::string& e) const {
    int n = 0;
    for (const auto& x : m_events) n += x == e ? 1 : 0;
    return n;
  }
  std::vector<std::string> m_events;                  // host thread only
  std::function<void(const std::string&)> m_onEvent;  // runs inside the firing
};

// The agent's message boxes. Closed at once unless held: then a box stays
// open (its receive thread blocked in it) until Release.
class CAgent {
 public:
  struct SBox {
    std::string caption, text;
    unsigned style;
  };
  CAgent() {
    platform::SetMessageBoxPresenter([this](platform::HWND, const std::string& c, const std::string& t, unsigned s) {
      std::unique_lock<std::mutex> g(m_lock);
      m_boxes.push_back({c, t, s});
      ++m_nOpen;
      m_cv.notify_all();
      m_cv.wait(g, [this] { return !m_bHold; });
      --m_nOpen;
      m_cv.notify_all();
      return platform::IDOK;
    });
  }
  ~CAgent() {
    Release();
    platform::SetMessageBoxPresenter({});
  }
  void Hold() {
    std::lock_guard<std::mutex> g(m_lock);
    m_bHold = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_bHold = false;
    }
    m_cv.notify_all();
  }
  bool WaitOpen(int ms) {
    std::unique_lock<std::mutex> g(m_lock);
    return m_cv.wait_for(g, std::chrono::milliseconds(ms), [this] { return m_nOpen > 0; });
  }
  int Open() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_nOpen;
  }
  std::vector<SBox> Boxes() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_boxes;
  }

 private:
  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  std::vector<SBox> m_boxes;
  int m_nOpen = 0;
  bool m_bHold = false;
};

// A control that tells when it is gone (the host cannot see that itself).
class CProbeCtrl : public CTessorCtrl {
 public:
  explicit CProbeCtrl(bool* pDestroyed) : m_pDestroyed(pDestroyed) {}
  ~CProbeCtrl() override { *m_pDestroyed = true; }

 private:
  bool* m_pDestroyed;
};

// An activated control as a host sets it up, with two scripted servers.
// No module start here: g_bRun is false until ConnectToORV.
class ControlFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    g_bRun = false;
    LastLogin().ResetForTest();
    NewCtrl();
  }
  void TearDown() override {
    if (m_ctrl != nullptr) DestroyCtrl();
    m_agent.Release();
    g_bRun = false;
    EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs))
        << "a receive thread outlived the control";
    EXPECT_EQ(JoinAllLinkThreads(1000), 0);
  }

  CTessorCtrl& Ctrl() { return *m_ctrl; }
  // Destroys the control now, as the host does.
  void DestroyCtrl() {
    CTessorCtrl::Destroy(m_ctrl);
    m_ctrl = nullptr;
  }
  // A fresh activated control (the previous one destroyed), for tables
  // whose rows each need links of their own.
  void NewCtrl() {
    if (m_ctrl != nullptr) DestroyCtrl();
    m_sink.m_events.clear();
    m_bDestroyed = false;
    m_ctrl = new CProbeCtrl(&m_bDestroyed);
    ASSERT_TRUE(m_ctrl->CreateControlWindow());
    m_ctrl->AddSink(&m_sink);
  }

  void ConnectMain() {
    ASSERT_TRUE(m_main.Listen());
    ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(m_main.Port())), 1);
    ASSERT_TRUE(m_main.WaitAccepted(1, kDeadlineMs));
  }
  void ConnectBoth() {
    ConnectMain();
    ASSERT_TRUE(m_sub.Listen());
    ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", I2(m_sub.Port())), 1);
    ASSERT_TRUE(m_sub.WaitAccepted(1, kDeadlineMs));
  }

  int CountLines(const std::string& line) const {
    int n = 0;
    for (const auto& m : m_log.Messages()) n += m == line ? 1 : 0;
    return n;
  }
  // The log as readable text, for failure messages.
  std::string LogText() const {
    std::string out;
    for (const auto& m : m_log.Messages()) out += platform::Cp949ToUtf8(m) + "\n";
    return out;
  }
  bool WaitLine(const std::string& line, int ms = kDeadlineMs) {
    return Pump([&] { return m_log.Find(line) >= 0; }, ms);
  }

  CLogDir m_log;  // first: every thread of the test logs into it
  CAgent m_agent;
  CTestPeer m_main, m_sub;
  CHostSink m_sink;
  CTessorCtrl* m_ctrl = nullptr;
  bool m_bDestroyed = false;  // set by the control's destructor
};

}  // namespace tessor::faults
