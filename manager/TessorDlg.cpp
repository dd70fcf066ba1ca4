#include "manager/TessorDlg.h"

#include <string.h>

#include <algorithm>

#include "common/LastLogin.h"
#include "common/Log.h"
#include "common/Texts.h"
#include "common/WindowMessages.h"
#include "link/Protocol.h"
#include "platform/MessageBox.h"

namespace tessor {

using platform::HWND;

namespace {
// A truncating copy into a fixed field: at most size - 1 bytes, rest zero.
template <size_t N>
void CopyField(char (&field)[N], const char* text) {
  ::memset(field, 0, N);
  if (text != nullptr) ::memcpy(field, text, ::strnlen(text, N - 1));
}

bool IsEmpty(const char* text) { return text == nullptr || *text == '\0'; }
}  // namespace

CTessorDlg::CTessorDlg() {
  ::memset(m_szSubServer, 0, sizeof(m_szSubServer));
  ::memset(m_szMainServer, 0, sizeof(m_szMainServer));
  ::memset(m_szCallID, 0, sizeof(m_szCallID));
  ::memset(m_szTelNumber, 0, sizeof(m_szTelNumber));
}

CTessorDlg::~CTessorDlg() {
  DestroyWindow();
  // Links made while no window existed are torn down all the same: no
  // thread may outlive the manager it reports to.
  TearDownAll(false);
}

bool CTessorDlg::Create(platform::CWindow* pParent) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  if (!CreateWindowOn(pParent)) return false;
  m_hSelfWnd = GetSafeHwnd();
  OnInitDialog();
  return true;
}

void CTessorDlg::SetCtrl(platform::CWindow* pCtrl) {
  m_pCtrl = pCtrl;
  m_hCtrlWnd = pCtrl != nullptr ? pCtrl->GetSafeHwnd() : 0;
}

HWND CTessorDlg::GetControlHwnd() { return m_hCtrlWnd.load(); }
HWND CTessorDlg::GetOwnerHwnd() { return m_hSelfWnd.load(); }

void CTessorDlg::Slots(std::shared_ptr<CORVInterface>* pMain, std::shared_ptr<CORVInterface>* pSub) const {
  std::lock_guard<std::mutex> guard(m_lockSlots);
  if (pMain) *pMain = m_pMain;
  if (pSub) *pSub = m_pSub;
}

std::shared_ptr<CORVInterface> CTessorDlg::MainLink() const {
  std::lock_guard<std::mutex> guard(m_lockSlots);
  return m_pMain;
}

std::shared_ptr<CORVInterface> CTessorDlg::SubLink() const {
  std::lock_guard<std::mutex> guard(m_lockSlots);
  return m_pSub;
}

int CTessorDlg::Port() const {
  std::lock_guard<std::mutex> guard(m_lockSlots);
  return m_nPort;
}

std::string CTessorDlg::MainServer() const {
  std::lock_guard<std::mutex> guard(m_lockSlots);
  return m_szMainServer;
}

std::string CTessorDlg::SubServer() const {
  std::lock_guard<std::mutex> guard(m_lockSlots);
  return m_szSubServer;
}

std::string CTessorDlg::CopyCallID() const {
  std::lock_guard<std::mutex> guard(m_lockCallID);
  return std::string(m_szCallID, ::strnlen(m_szCallID, sizeof(m_szCallID)));
}

std::string CTessorDlg::CopyTelNumber() const {
  return std::string(m_szTelNumber, ::strnlen(m_szTelNumber, sizeof(m_szTelNumber)));
}

// ---- connecting -------------------------------------------------------------

bool CTessorDlg::Connect(bool bMain, const char* server, int port) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  std::shared_ptr<CORVInterface> link;
  {
    std::lock_guard<std::mutex> guard(m_lockSlots);
    std::shared_ptr<CORVInterface>& slot = bMain ? m_pMain : m_pSub;
    if (slot) return false;  // a link object exists, connected or not
    m_nPort = port;
    CopyField(bMain ? m_szMainServer : m_szSubServer, server);
    (bMain ? m_strMainServer : m_strSubServer) = server != nullptr ? server : "";
    link = CORVInterface::Create();
    link->SetOwner(this);
    slot = link;
  }
  bool connected = bMain ? link->ConnectWithRetry(server, port) : link->QuickConnect(server, port);
  if (!connected) return false;  // the unconnected link stays in its slot
  link->Start();  // its answer is not used
  return true;
}

bool CTessorDlg::ConnectMain(const char* server, int port) { return Connect(true, server, port); }
bool CTessorDlg::ConnectSub(const char* server, int port) { return Connect(false, server, port); }

// ---- routing ----------------------------------------------------------------

template <typename SendFn>
void CTessorDlg::RouteWithFailover(bool bTestCallID, const char* CallID, SendFn send) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  std::shared_ptr<CORVInterface> main, sub;
  Slots(&main, &sub);
  if (!main) return;  // nothing sent, nothing logged
  if (bTestCallID && IsEmpty(CallID)) {
    WriteLogText(TEXT_NO_CALLID);
    return;
  }
  if (send(*main)) return;
  if (sub && send(*sub)) return;
  WriteLogText(TEXT_NO_LINK);
}

template <typename SendFn>
void CTessorDlg::SendToEveryLink(SendFn send) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  std::shared_ptr<CORVInterface> main, sub;
  Slots(&main, &sub);
  if (main) send(*main);  // results ignored: every present link gets it
  if (sub) send(*sub);
}

void CTessorDlg::GetCallID(const char* ExtNo, const char* AID, const char* Tenant) {
  RouteWithFailover(false, nullptr,
                    [&](CORVInterface& link) { return SendGetCallIDPacket(link, ExtNo, AID, Tenant); });
}

void CTessorDlg::SendMarkInfo(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  RouteWithFailover(true, CallID,
                    [&](CORVInterface& link) { return SendMarkInfoPacket(link, ExtNo, CallID, AID, Tenant); });
}

void CTessorDlg::SendBasicInfo(const char* ExtNo, const char* CallID, const char* ANI, const char* DNIS,
                               const char* AID, const char* Tenant, int16_t type) {
  RouteWithFailover(true, CallID, [&](CORVInterface& link) {
    return SendBasicInfoPacket(link, ExtNo, CallID, ANI, DNIS, AID, Tenant, type);
  });
}

void CTessorDlg::SendPostInfo(const char* ExtNo, const char* CallID, const char* start, const char* desc,
                              const char* AID, const char* Tenant) {
  RouteWithFailover(true, CallID, [&](CORVInterface& link) {
    return SendPostInfoPacket(link, ExtNo, CallID, start, desc, AID, Tenant);
  });
}

void CTessorDlg::SendExtendInfo(const char* ExtNo, const char* CallID, const char* name, const char* cid,
                                const char* ctel, const char* info1, const char* info2, const char* info3,
                                const char* info4, const char* info5, const char* AID, const char* Tenant) {
  RouteWithFailover(true, CallID, [&](CORVInterface& link) {
    return SendExtendInfoPacket(link, ExtNo, CallID, name, cid, ctel, info1, info2, info3, info4, info5, AID, Tenant);
  });
}

void CTessorDlg::SetSelectionRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  if (IsEmpty(CallID)) {  // tested first, even with no link at all
    WriteLogText(TEXT_NO_CALLID);
    return;
  }
  SendToEveryLink([&](CORVInterface& link) { return SendSelectionRecordPacket(link, ExtNo, CallID, AID, Tenant); });
}

void CTessorDlg::StartSelectRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  SendToEveryLink(
      [&](CORVInterface& link) { return SendStartSelectRecordPacket(link, ExtNo, CallID, AID, Tenant); });
}

void CTessorDlg::StopSelectRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  SendToEveryLink(
      [&](CORVInterface& link) { return SendStopSelectRecordPacket(link, ExtNo, CallID, AID, Tenant); });
}

// ---- notifications (receive threads) ------------------------------------------

void CTessorDlg::NotifyCallID(const char* szCallID) {
  // One delivery at a time, so each id reaches the control as written. A
  // link being torn down gives up its turn instead of waiting for it.
  {
    std::unique_lock<std::mutex> lock(m_lockNotify);
    while (m_bNotifying) {
      if (platform::IsThreadSendCancelled()) return;
      m_cvNotify.wait_for(lock, std::chrono::milliseconds(20));
    }
    m_bNotifying = true;
  }
  struct STurn {
    CTessorDlg* p;
    ~STurn() {
      {
        std::lock_guard<std::mutex> lock(p->m_lockNotify);
        p->m_bNotifying = false;
      }
      p->m_cvNotify.notify_all();
    }
  } turn{this};
  {
    std::lock_guard<std::mutex> guard(m_lockCallID);
    CopyField(m_szCallID, szCallID);  // at most 127 bytes
  }
  HWND hCtrl = m_hCtrlWnd.load();
  if (hCtrl != 0) platform::SendMessage(hCtrl, WM_SET_CALLID, 0, 0);
}

void CTessorDlg::NotifyDisconnected(uint16_t nReason) {
  HWND hCtrl = m_hCtrlWnd.load();
  if (hCtrl != 0) platform::SendMessage(hCtrl, WM_DISCONNECTED, 0, static_cast<platform::LPARAM>(nReason));
}

void CTessorDlg::ShowLogoutAlarm(const char* szAgent, SMessageBox* pBox) {
  NotifyDisconnected(DISCONNECT_LOGOUT_ALARM);  // the host hears of it before the box
  const std::string dn = LastLogin().DN();
  pBox->bShow = true;
  pBox->hOwner = m_hSelfWnd.load();
  pBox->strCaption = GetText(TEXT_CAPTION_WARNING);
  pBox->strText = FormatText(TEXT_LOGOUT_ALARM, szAgent, dn.c_str());
  pBox->nStyle = platform::MB_OK | platform::MB_ICONSTOP | platform::MB_SETFOREGROUND | platform::MB_TOPMOST;
}

void CTessorDlg::OnLinkLost(CORVInterface* pLink, const std::string& /*strPeer*/) {
  NotifyDisconnected(DISCONNECT_LINK_LOST);
  // The lost link is recognised by its object, not by its peer's address:
  // host names, long texts and two slots on one address all work.
  std::lock_guard<std::mutex> guard(m_lockSlots);
  for (int i = 0; i < 2; ++i) {
    const bool bMain = i == 0;
    std::shared_ptr<CORVInterface>& slot = bMain ? m_pMain : m_pSub;
    if (slot.get() != pLink) continue;
    // Released when this thread has returned: its keep-alive holds it.
    m_retired.push_back(std::move(slot));
    slot.reset();
    if ((bMain ? m_strMainServer : m_strSubServer).empty()) return;
    std::shared_ptr<CORVInterface> fresh = CORVInterface::Create();
    fresh->SetOwner(this);
    slot = fresh;
    platform::SetTimer(m_hSelfWnd.load(), bMain ? TIMER_RECONNECT_MAIN : TIMER_RECONNECT_SUB, RECONNECT_PERIOD_MS);
    return;
  }
  // Not in a slot: a link already let go of; nothing more to do.
}

// ---- timers -----------------------------------------------------------------

bool CTessorDlg::OnInitDialog() {
  platform::SetTimer(GetSafeHwnd(), TIMER_KEEPALIVE, KEEPALIVE_PERIOD_MS);
  return true;
}

void CTessorDlg::SendKeepAlive() {
  std::shared_ptr<CORVInterface> main, sub;
  Slots(&main, &sub);
  if (!main) return;  // the sub link gets none either
  SendKeepAlivePacket(*main);
  if (sub) SendKeepAlivePacket(*sub);
}

void CTessorDlg::Reconnect(bool bMain) {
  const uintptr_t id = bMain ? TIMER_RECONNECT_MAIN : TIMER_RECONNECT_SUB;
  platform::KillTimer(GetSafeHwnd(), id);
  std::shared_ptr<CORVInterface> link;
  std::string server;
  int port;
  {
    std::lock_guard<std::mutex> guard(m_lockSlots);
    link = bMain ? m_pMain : m_pSub;
    server = bMain ? m_strMainServer : m_strSubServer;
    port = m_nPort;
    // Links of OnLinkLost whose threads have returned can go now.
    m_retired.erase(std::remove_if(m_retired.begin(), m_retired.end(),
                                   [](const std::shared_ptr<CORVInterface>& l) { return !l->IsRunning(); }),
                    m_retired.end());
  }
  if (!link) return;                         // DisconnectFromORV ran since
  if (link->m_socket.IsConnected()) return;  // nothing to do; stays killed
  if (link->QuickConnect(server.c_str(), port)) {
    link->Start();
    return;
  }
  platform::SetTimer(GetSafeHwnd(), id, RECONNECT_PERIOD_MS);
}

void CTessorDlg::OnTimer(uintptr_t nIDEvent) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  switch (nIDEvent) {
    case TIMER_KEEPALIVE: SendKeepAlive(); break;
    case TIMER_RECONNECT_MAIN: Reconnect(true); break;
    case TIMER_RECONNECT_SUB: Reconnect(false); break;
    default: break;
  }
}

// ---- tear-down ----------------------------------------------------------------

void CTessorDlg::TearDownAll(bool bStop) {
  std::vector<std::shared_ptr<CORVInterface>> links;
  {
    std::lock_guard<std::mutex> guard(m_lockSlots);
    if (m_pMain) links.push_back(std::move(m_pMain));
    if (m_pSub) links.push_back(std::move(m_pSub));
    m_pMain.reset();
    m_pSub.reset();
    for (auto& l : m_retired) links.push_back(std::move(l));
    m_retired.clear();
  }
  // Every link first leaves its loop and lets go of the host thread, then
  // the owner waits: neither link can hold up the other's tear-down.
  for (auto& link : links) {
    if (bStop) link->Stop();
    link->BeginTearDown();
    if (link->m_socket.IsConnected()) link->m_socket.Close();  // wakes its thread
  }
  for (auto& link : links) link->DetachOwner();
  for (auto& link : links) link->WaitForExit(TEARDOWN_WAIT_MS);
  // Released here, or by a thread still held by an open box when it returns.
}

void CTessorDlg::DisconnectAll() {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  TearDownAll(true);  // the reconnection timers stay; they find the slots empty
}

void CTessorDlg::OnDestroy() {
  platform::KillTimer(GetSafeHwnd(), TIMER_KEEPALIVE);
  platform::KillTimer(GetSafeHwnd(), TIMER_RECONNECT_SUB);
  platform::KillTimer(GetSafeHwnd(), TIMER_RECONNECT_MAIN);
  TearDownAll(false);
  m_hSelfWnd = 0;
}

platform::LRESULT CTessorDlg::WindowProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
  switch (msg) {
    case platform::WM_TIMER:
      OnTimer(wParam);
      return 0;
    case platform::WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      return CWindow::WindowProc(msg, wParam, lParam);
  }
}

}  // namespace tessor
