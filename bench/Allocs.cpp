// tessor-bench-allocs: heap allocations per inbound packet and per encoder
// call, counted by replacing operator new in this program. The peer and the
// waiting main thread allocate nothing while a count runs, so the count is
// the library's.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Log.h"
#include "common/RunFlag.h"
#include "link/ORVInterface.h"
#include "link/Protocol.h"
#include "platform/Thread.h"

namespace {
std::atomic<uint64_t> g_nNews{0};

void* Allocate(size_t n) {
  g_nNews.fetch_add(1, std::memory_order_relaxed);
  void* p = ::malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* AllocateAligned(size_t n, std::align_val_t a) {
  g_nNews.fetch_add(1, std::memory_order_relaxed);
  const size_t align = static_cast<size_t>(a);
  void* p = ::aligned_alloc(align, (n + align - 1) / align * align);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(size_t n) { return Allocate(n); }
void* operator new[](size_t n) { return Allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  g_nNews.fetch_add(1, std::memory_order_relaxed);
  return ::malloc(n != 0 ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  g_nNews.fetch_add(1, std::memory_order_relaxed);
  return ::malloc(n != 0 ? n : 1);
}
void* operator new(size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void* operator new[](size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void operator delete(void* p) noexcept { ::free(p); }
void operator delete[](void* p) noexcept { ::free(p); }
void operator delete(void* p, size_t) noexcept { ::free(p); }
void operator delete[](void* p, size_t) noexcept { ::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { ::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { ::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { ::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { ::free(p); }

namespace tessor::bench {
namespace {

constexpr const char* kCallID = "20240305-0001";

uint64_t News() { return g_nNews.load(); }

class CCountingOwner : public ILinkOwner {
 public:
  void NotifyCallID(const char*) override {
    m_nCount.fetch_add(1);
    m_nCount.notify_one();
  }
  void NotifyDisconnected(uint16_t) override {}
  void ShowLogoutAlarm(const char*, SMessageBox*) override {}
  void OnLinkLost(CORVInterface*, const std::string&) override {}
  platform::HWND GetControlHwnd() override { return 0; }
  platform::HWND GetOwnerHwnd() override { return 0; }
  std::atomic<int> m_nCount{0};
};

// Per inbound packet on the link alone: receive loop, framing and decoder.
double InboundLink() {
  CDrainPeer peer;
  if (!peer.Start()) Fail("peer listen");
  CCountingOwner owner;
  g_bRun = true;
  std::shared_ptr<CORVInterface> link = CORVInterface::Create();
  link->SetOwner(&owner);
  if (!link->m_socket.Connect("127.0.0.1", peer.Port())) Fail("link connect");
  link->Start();
  const int s = peer.Connection(0, 3000);
  if (s < 0) Fail("peer accept");
  uint8_t pkt[240];
  BuildCallIdResponse(pkt, kCallID);
  auto one = [&] {
    const int before = owner.m_nCount.load();
    if (!WriteAll(s, pkt, sizeof(pkt))) Fail("peer write");
    const uint64_t deadline = NowNs() + 3000000000ULL;
    int seen;
    while ((seen = owner.m_nCount.load()) == before && NowNs() < deadline) owner.m_nCount.wait(seen);
    if (owner.m_nCount.load() == before) Fail("no packet decoded within 3 s");
  };
  for (int i = 0; i < 20; ++i) one();
  platform::SleepMs(5);
  constexpr int kPackets = 500;
  const uint64_t n0 = News();
  for (int i = 0; i < kPackets; ++i) one();
  platform::SleepMs(5);  // the receive thread has freed the last packet and waits again
  const uint64_t n1 = News();
  g_bRun = false;
  link->BeginTearDown();
  link->m_socket.Close();
  link->DetachOwner();
  link->WaitForExit(1000);
  return static_cast<double>(n1 - n0) / kPackets;
}

// Per inbound packet through the whole control: receive thread, cross-thread
// send, the host thread's handler, log line and events.
double InboundControl() {
  CDrainPeer peer;
  if (!peer.Start()) Fail("peer listen");
  CTessorCtrl ctrl;
  if (!ctrl.CreateControlWindow()) Fail("control window");
  CEventLog events;
  ctrl.AddSink(&events);
  if (ctrl.ConnectToORV("127.0.0.1", static_cast<int16_t>(peer.Port())) != 1) Fail("ConnectToORV");
  const int s = peer.Connection(0, 3000);
  if (s < 0) Fail("peer accept");
  uint8_t pkt[240];
  BuildCallIdResponse(pkt, kCallID);
  auto one = [&] {
    const int before = events.Count(DISPID_EVENT_SETCURRENTCALLID);
    if (!WriteAll(s, pkt, sizeof(pkt))) Fail("peer write");
    if (!Pump([&] { return events.Count(DISPID_EVENT_SETCURRENTCALLID) > before; }, 3000)) Fail("no event");
  };
  for (int i = 0; i < 20; ++i) one();
  constexpr int kPackets = 300;
  // Pump's std::function is made once per call: counted apart and removed.
  const uint64_t p0 = News();
  for (int i = 0; i < kPackets; ++i) Pump([] { return true; }, 0);
  const uint64_t pumpCost = News() - p0;
  platform::SleepMs(5);
  const uint64_t n0 = News();
  for (int i = 0; i < kPackets; ++i) one();
  platform::SleepMs(5);
  const uint64_t n1 = News();
  ctrl.RemoveSink(&events);
  ctrl.DisconnectFromORV();
  return static_cast<double>(n1 - n0 - pumpCost) / kPackets;
}

struct SEncoderCount {
  const char* szName;
  double perCall;
};

std::vector<SEncoderCount> Encoders(double* pRequest, double* pWriteLog) {
  CDrainPeer peer;
  if (!peer.Start()) Fail("peer listen");
  std::vector<SEncoderCount> out;
  out.reserve(16);
  {
    auto link = CORVInterface::Create();
    if (!link->m_socket.Connect("127.0.0.1", peer.Port())) Fail("link connect");
    CORVInterface& l = *link;
    constexpr int kCalls = 1000;
    auto count = [&](const char* name, auto fn) {
      for (int i = 0; i < 10; ++i) fn();  // first calls: the time zone is read once
      const uint64_t n0 = News();
      for (int i = 0; i < kCalls; ++i) fn();
      out.push_back({name, static_cast<double>(News() - n0) / kCalls});
    };
    count("GetCallID", [&] { SendGetCallIDPacket(l, kExtNo, kAID, kTenant); });
    count("MarkInfo", [&] { SendMarkInfoPacket(l, kExtNo, kCallID, kAID, kTenant); });
    count("BasicInfo", [&] { SendBasicInfoPacket(l, kExtNo, kCallID, "0212345678", "1588", kAID, kTenant, 1); });
    count("PostInfo", [&] { SendPostInfoPacket(l, kExtNo, kCallID, "20240305070809", "note", kAID, kTenant); });
    count("ExtendInfo", [&] {
      SendExtendInfoPacket(l, kExtNo, kCallID, "name", "C1", "01012345678", "i1", "i2", "i3", "i4", "i5", kAID,
                           kTenant);
    });
    count("SelectionRecord", [&] { SendSelectionRecordPacket(l, kExtNo, kCallID, kAID, kTenant); });
    count("StartSelectRecord", [&] { SendStartSelectRecordPacket(l, kExtNo, kCallID, kAID, kTenant); });
    count("StopSelectRecord", [&] { SendStopSelectRecordPacket(l, kExtNo, kCallID, kAID, kTenant); });
    count("KeepAlive", [&] { SendKeepAlivePacket(l); });
    count("Logout", [&] { SendLogoutPacket(l, kExtNo, kAID, kTenant); });
    link->m_socket.Close();
  }
  {
    CTessorCtrl ctrl;
    if (!ctrl.CreateControlWindow()) Fail("control window");
    if (ctrl.ConnectToORV("127.0.0.1", static_cast<int16_t>(peer.Port())) != 1) Fail("ConnectToORV");
    for (int i = 0; i < 10; ++i) ctrl.SendMarkInfo(kExtNo, kCallID, kAID, kTenant);
    const uint64_t n0 = News();
    for (int i = 0; i < 1000; ++i) ctrl.SendMarkInfo(kExtNo, kCallID, kAID, kTenant);
    *pRequest = static_cast<double>(News() - n0) / 1000;
    const uint64_t w0 = News();
    for (int i = 0; i < 1000; ++i) WriteLog("SendMarkInfo : CALLID(%s)", kCallID);
    *pWriteLog = static_cast<double>(News() - w0) / 1000;
    ctrl.DisconnectFromORV();
  }
  return out;
}

void Run() {
  CLogFolder folder;
  const double link = InboundLink();
  const double control = InboundControl();
  double request = 0, writelog = 0;
  const std::vector<SEncoderCount> enc = Encoders(&request, &writelog);

  Figure("allocs_per_inbound_packet_link", link, 1.0, "allocs/packet");
  Figure("allocs_per_inbound_packet_through_control", control, "allocs/packet");
  double worst = 0;
  std::string worstName = "-";
  for (const auto& e : enc) {
    Figure(std::string("allocs_per_encoder_call_") + e.szName, e.perCall, "allocs/call");
    if (e.perCall > worst) {
      worst = e.perCall;
      worstName = e.szName;
    }
  }
  Figure("allocs_per_request_SendMarkInfo_through_control", request, "allocs/call");
  Figure("allocs_per_WriteLog_line", writelog, "allocs/line");
  Note(
      "allocations: operator new replaced in tessor-bench-allocs; the link figure is the receive loop, framing and "
      "decoder with a recording owner; the control figure adds the cross-thread send, the host-thread handler, its "
      "log line and the events");
  Target("allocs_per_inbound_packet=1", link > 0.99 && link < 1.01, Fmt("%.3f per packet", link));
  Target("allocs_per_encoder_call=0", worst == 0.0, Fmt("%s: %.3f per call", worstName.c_str(), worst));
}

}  // namespace
}  // namespace tessor::bench

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  tessor::bench::Run();
  return 0;
}
