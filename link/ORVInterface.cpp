#include "link/ORVInterface.h"

#include "common/LastLogin.h"
#include "common/Log.h"
#include "common/RunFlag.h"
#include "link/Decoder.h"
#include "link/Framing.h"
#include "link/Protocol.h"
#include "platform/Thread.h"

namespace tessor {

CORVInterface::CORVInterface() : m_pSendToken(std::make_shared<platform::CSendToken>()) {}

CORVInterface::~CORVInterface() {
  if (m_socket.IsConnected()) m_socket.Close();
}

std::shared_ptr<CORVInterface> CORVInterface::Create() { return std::make_shared<CORVInterface>(); }

void CORVInterface::SetOwner(ILinkOwner* pOwner) {
  std::lock_guard<std::mutex> guard(m_lockOwner);
  m_pOwner = pOwner;
}

CORVInterface::COwnerCall::COwnerCall(CORVInterface& link) : m_link(link), m_pOwner(nullptr) {
  std::lock_guard<std::mutex> guard(link.m_lockOwner);
  if (link.m_pOwner != nullptr && !link.m_bTearDown.load()) {
    m_pOwner = link.m_pOwner;
    ++link.m_nOwnerCalls;
  }
}

CORVInterface::COwnerCall::~COwnerCall() {
  if (m_pOwner == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(m_link.m_lockOwner);
    --m_link.m_nOwnerCalls;
  }
  m_link.m_cvOwner.notify_all();
}

void CORVInterface::BeginTearDown() {
  m_bTearDown = true;
  platform::CancelSends(m_pSendToken);
}

void CORVInterface::OnModuleEnd() {
  BeginTearDown();
  m_socket.Close();
}

void CORVInterface::DetachOwner() {
  std::unique_lock<std::mutex> lock(m_lockOwner);
  m_pOwner = nullptr;
  // Calls in progress are bounded: their messages to the host thread were
  // cancelled and none of them holds the count while a box is open.
  m_cvOwner.wait(lock, [this] { return m_nOwnerCalls == 0; });
}

bool CORVInterface::ShouldRun() const { return g_bRun.load() && !m_bTearDown.load(); }

int CORVInterface::Run() {
  ReceiveProcess();
  return 0;
}

void CORVInterface::ReceiveProcess() {
  platform::SetThreadSendToken(m_pSendToken);
  platform::SetPreciseTimers();
  const std::string strPeer = m_socket.GetPeerAddress();
  uint8_t header[HEADER_LENGTH];
  uint8_t body[MAX_PACKET_LENGTH];
  while (ShouldRun()) {
    std::unique_ptr<PACKET_BUFFER> packet;
    const char* failure = "";
    EPass pass = ReceivePass(m_socket, RECEIVE_IDLE_WAIT_MS, header, body, &packet, &failure);
    if (pass == EPass::kPacket) {
      DecodePacket(*this, std::move(packet));
    } else if (pass == EPass::kFailed) {
      WriteLog("%s", failure);
      if (ShouldRun()) {
        COwnerCall call(*this);
        if (call) {
          call.Get()->OnLinkLost(this, strPeer);
          platform::SetThreadSendToken(nullptr);
          return;
        }
      }
      break;  // the quiet end
    }
  }
  if (m_socket.IsConnected()) m_socket.Close();
  WriteLog("ReceiveProcess stopped");
  platform::SetThreadSendToken(nullptr);
}

bool CORVInterface::QuickConnect(const char* server, int port) {
  if (m_socket.IsConnected()) {
    WriteLog("QuickConnect - socket IsConnected false");
    return false;
  }
  if (!m_socket.Connect(server, port)) {
    WriteLog("QuickConnect - socket Connect fail");
    return false;
  }
  const SLastLogin login = LastLogin().Snapshot();
  if (!login.strDN.empty() && !login.strAID.empty() && !login.strPWD.empty() && !login.strTENANT.empty()) {
    SendLoginPacket(*this, login.strDN.c_str(), login.strAID.c_str(), login.strPWD.c_str(), login.strTENANT.c_str());
    return true;
  }
  WriteLog("2 - TENANT(%s), AID(%s), PWD(****), DN(%s)", login.strTENANT.c_str(), login.strAID.c_str(),
           login.strDN.c_str());
  return true;
}

bool CORVInterface::ConnectWithRetry(const char* server, int port) {
  if (m_socket.IsConnected()) return false;
  for (int attempt = 0; attempt < CONNECT_ATTEMPTS; ++attempt) {
    if (m_socket.ConnectAttempt(server, port)) return true;
    platform::SleepMs(CONNECT_RETRY_PAUSE_MS);
  }
  return false;
}

}  // namespace tessor
