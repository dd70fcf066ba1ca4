// CORVInterface: one link to one ORV server, with its socket and its
// receive thread.
//
//   created --ConnectWithRetry/QuickConnect--> connected --Start--> receiving
//   receiving --read fails, g_bRun set, not torn down--> OnLinkLost (owner
//                replaces the link; this object is released when its
//                thread has returned)
//   receiving --g_bRun cleared or torn down--> quiet end ("ReceiveProcess stopped")
//
// Ownership: a link lives in shared ownership between its owner's slot and
// its own thread, so its storage outlives whichever lets go last.
//
// Reaching the owner: the receive thread calls its owner only through
// CallOwner(), which counts the call; tear-down (host thread) first marks
// the link torn down, cancels the link's pending messages to the host
// thread and wakes the thread, then DetachOwner() waits for calls in
// progress to return and refuses new ones. No call holds the count while a
// message box is open, so tear-down never waits on the agent.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "link/ClientSocket.h"
#include "link/NThread.h"
#include "link/Protocol.h"
#include "platform/HostLoop.h"

namespace tessor {

class CORVInterface;

// A box that a receive thread shows after it has let go of its owner.
struct SMessageBox {
  bool bShow = false;
  platform::HWND hOwner = 0;
  std::string strCaption;  // CP949
  std::string strText;     // CP949
  unsigned nStyle = 0;
};

// What a link may ask of its owner (the connection manager), on the
// link's receive thread.
class ILinkOwner {
 public:
  virtual ~ILinkOwner() = default;
  virtual void NotifyCallID(const char* szCallID) = 0;
  virtual void NotifyDisconnected(uint16_t nReason) = 0;
  // Sends Disconnected(9) and fills the warning box to be shown.
  virtual void ShowLogoutAlarm(const char* szAgent, SMessageBox* pBox) = 0;
  // The link whose thread reports the loss, and its peer's address.
  virtual void OnLinkLost(CORVInterface* pLink, const std::string& strPeer) = 0;
  virtual platform::HWND GetControlHwnd() = 0;  // receives WM_LOGIN_SUCCESS, ...
  virtual platform::HWND GetOwnerHwnd() = 0;    // owns the manager's boxes
};

class CORVInterface : public NThread, public std::enable_shared_from_this<CORVInterface> {
 public:
  CORVInterface();
  ~CORVInterface() override;

  static std::shared_ptr<CORVInterface> Create();

  int Run() override;
  void ReceiveProcess();
  // Connects (one attempt) and logs in again with LastLogin; host thread.
  bool QuickConnect(const char* server, int port);
  // Up to four attempts, 2000 ms after each failed one; host thread.
  bool ConnectWithRetry(const char* server, int port);

  // Set by the creator right after construction, before anything else.
  void SetOwner(ILinkOwner* pOwner);

  // A counted call into the owner; Get() is null once the link is torn
  // down or its owner detached.
  class COwnerCall {
   public:
    explicit COwnerCall(CORVInterface& link);
    ~COwnerCall();
    COwnerCall(const COwnerCall&) = delete;
    COwnerCall& operator=(const COwnerCall&) = delete;
    ILinkOwner* Get() const { return m_pOwner; }
    explicit operator bool() const { return m_pOwner != nullptr; }

   private:
    CORVInterface& m_link;
    ILinkOwner* m_pOwner;
  };

  // Host thread, in this order, when the owner lets the link go:
  // BeginTearDown (the thread takes the quiet end and is woken),
  // DetachOwner (waits for owner calls in progress), then WaitForExit.
  void BeginTearDown();
  void DetachOwner();
  bool IsTornDown() const { return m_bTearDown.load(); }
  // Module end: the thread takes the quiet end now.
  void OnModuleEnd() override;

  CClientSocket m_socket;

 protected:
  std::shared_ptr<NThread> KeepAlive() override { return shared_from_this(); }

 private:
  bool ShouldRun() const;

  std::mutex m_lockOwner;              // guards m_pOwner and m_nOwnerCalls
  std::condition_variable m_cvOwner;
  ILinkOwner* m_pOwner = nullptr;
  int m_nOwnerCalls = 0;
  std::atomic<bool> m_bTearDown{false};
  // Released by tear-down: the thread's pending and later messages to the
  // host thread return at once.
  std::shared_ptr<platform::CSendToken> m_pSendToken;
};

// One inbound packet: the 16 header bytes as received, the body, zeros.
struct PACKET_BUFFER {
  uint8_t data[HEADER_LENGTH + MAX_PACKET_LENGTH];
};

}  // namespace tessor
