// CTessorDlg: the connection manager. Owns the main and the sub link,
// routes every request with fail-over, hands inbound results to the
// control's window, shows the forced log-out warning, runs the keep-alive
// and reconnection timers and replaces lost links.
//
// Per slot:
//   empty --ConnectMain/Sub--> present (unconnected) --connect ok + Start--> receiving
//   receiving --link lost (receive thread)--> fresh object in the slot, reconnection
//                timer armed (every 5 s: QuickConnect, then Start)
//   any --DisconnectAll / OnDestroy--> empty
//
// Threads. The host thread runs every request, connect, timer and
// tear-down. Receive threads run NotifyCallID, NotifyDisconnected,
// ShowLogoutAlarm and OnLinkLost. m_lockSlots guards the slots, the server
// texts and the port; it is never held while a message goes to the host
// thread or a box is open. Links are held in shared ownership, so a lost
// link that OnLinkLost takes out of its slot is released only when its
// own thread has let go of it too.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/ORVInterface.h"
#include "platform/HostLoop.h"
#include "platform/Thread.h"

namespace tessor {

constexpr uintptr_t TIMER_KEEPALIVE = 201;
constexpr uintptr_t TIMER_RECONNECT_MAIN = 202;
constexpr uintptr_t TIMER_RECONNECT_SUB = 203;
constexpr unsigned KEEPALIVE_PERIOD_MS = 10000;
constexpr unsigned RECONNECT_PERIOD_MS = 5000;
// Tear-down waits at most this long for a receive thread to end (the
// pause the original took); a thread held by an open box ends later and
// releases its link itself.
constexpr int TEARDOWN_WAIT_MS = 500;
constexpr int DEFAULT_PORT = 5100;

class CTessorDlg : public platform::CWindow, public ILinkOwner {
 public:
  CTessorDlg();
  ~CTessorDlg() override;

  // Creates the manager's empty child window (template 201) and runs
  // OnInitDialog. Host thread.
  bool Create(platform::CWindow* pParent);
  void BindHostThread() { m_hostThread.Rebind(); }
  // Set by the control right after it created this window.
  void SetCtrl(platform::CWindow* pCtrl);

  bool ConnectMain(const char* server, int port);
  bool ConnectSub(const char* server, int port);
  void GetCallID(const char* ExtNo, const char* AID, const char* Tenant);
  void SendMarkInfo(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant);
  void SendBasicInfo(const char* ExtNo, const char* CallID, const char* ANI, const char* DNIS, const char* AID,
                     const char* Tenant, int16_t type);
  void SendPostInfo(const char* ExtNo, const char* CallID, const char* start, const char* desc, const char* AID,
                    const char* Tenant);
  void SendExtendInfo(const char* ExtNo, const char* CallID, const char* name, const char* cid, const char* ctel,
                      const char* info1, const char* info2, const char* info3, const char* info4, const char* info5,
                      const char* AID, const char* Tenant);
  void SetSelectionRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant);
  void StartSelectRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant);
  void StopSelectRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant);
  void DisconnectAll();

  // ILinkOwner, on a receive thread.
  void NotifyCallID(const char* szCallID) override;
  void NotifyDisconnected(uint16_t nReason) override;
  void ShowLogoutAlarm(const char* szAgent, SMessageBox* pBox) override;
  void OnLinkLost(CORVInterface* pLink, const std::string& strPeer) override;
  platform::HWND GetControlHwnd() override;
  platform::HWND GetOwnerHwnd() override;

  // Timers and window life, host thread.
  bool OnInitDialog();
  void OnTimer(uintptr_t nIDEvent);
  void SendKeepAlive();
  void OnDestroy();
  platform::LRESULT WindowProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) override;

  // The link in a slot (null when empty); the object stays valid while held.
  std::shared_ptr<CORVInterface> MainLink() const;
  std::shared_ptr<CORVInterface> SubLink() const;
  // The last call id, copied under its lock (the control's OnSetCallID).
  std::string CopyCallID() const;
  std::string CopyTelNumber() const;
  int Port() const;
  std::string MainServer() const;  // the 15-character field
  std::string SubServer() const;

  // Fields of the manager. m_nPort, the server fields, the whole server
  // texts and the slots are guarded by m_lockSlots.
  int m_nPort = DEFAULT_PORT;
  char m_szSubServer[16];
  char m_szMainServer[16];
  char m_szCallID[128];     // guarded by m_lockCallID
  char m_szTelNumber[24];   // never written by the system
  platform::CWindow* m_pCtrl = nullptr;  // host thread only
  std::shared_ptr<CORVInterface> m_pMain;
  std::shared_ptr<CORVInterface> m_pSub;

 private:
  // Both links, copied under the lock.
  void Slots(std::shared_ptr<CORVInterface>* pMain, std::shared_ptr<CORVInterface>* pSub) const;
  bool Connect(bool bMain, const char* server, int port);
  void Reconnect(bool bMain);
  // Routing of the call-id and the four information requests.
  template <typename SendFn>
  void RouteWithFailover(bool bTestCallID, const char* CallID, SendFn send);
  template <typename SendFn>
  void SendToEveryLink(SendFn send);
  // Takes every link out of the manager and tears them down (host thread).
  void TearDownAll(bool bStop);

  mutable std::mutex m_lockSlots;
  std::string m_strMainServer;  // the whole texts, kept for reconnection
  std::string m_strSubServer;
  // Links taken out of a slot by OnLinkLost whose threads may not have
  // returned yet; tear-down waits for them too.
  std::vector<std::shared_ptr<CORVInterface>> m_retired;

  mutable std::mutex m_lockCallID;  // the bytes of m_szCallID
  // One call id delivery at a time: m_bNotifying, guarded by m_lockNotify.
  std::mutex m_lockNotify;
  std::condition_variable m_cvNotify;
  bool m_bNotifying = false;

  // Read by receive threads: the windows they address.
  std::atomic<platform::HWND> m_hCtrlWnd{0};
  std::atomic<platform::HWND> m_hSelfWnd{0};

  platform::CThreadChecker m_hostThread;
};

}  // namespace tessor
