#include "link/ClientSocket.h"

#include <ctype.h>
#include <string.h>

#include "platform/Socket.h"
#include "platform/Thread.h"

namespace tessor {

using namespace tessor::platform;

CClientSocket::CClientSocket() {
  int fd = SocketCreateTcp();
  if (fd >= 0) SocketSetNonBlocking(fd);
  m_hSocket = fd;  // -1 when creation failed; Connect tries again
}

CClientSocket::~CClientSocket() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_hSocket != -1) SocketClose(m_hSocket);
  for (int fd : m_deferredClose) SocketClose(fd);
  m_hSocket = -1;
  m_bConnected = 0;
}

bool CClientSocket::IsConnected() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_bConnected != 0;
}

int CClientSocket::HandleForTest() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_hSocket;
}

int CClientSocket::AcquireFd() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_hSocket == -1) return -1;
  ++m_nUsers;
  return m_hSocket;
}

void CClientSocket::ReleaseFd(int) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (--m_nUsers == 0) {
    for (int old : m_deferredClose) SocketClose(old);
    m_deferredClose.clear();
  }
}

bool CClientSocket::StillOpen(int fd) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_hSocket == fd;
}

void CClientSocket::Close() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_hSocket == -1) return;  // exactly once, whichever thread comes first
  int fd = m_hSocket;
  m_hSocket = -1;
  m_bConnected = 0;
  if (m_nUsers > 0) {
    SocketShutdown(fd);  // wakes a thread waiting on it
    m_deferredClose.push_back(fd);
  } else {
    SocketClose(fd);
  }
}

int CClientSocket::WaitFd(int fd, bool writable, int timeout_ms) {
  int rc = writable ? PollWritable(fd, timeout_ms) : PollReadable(fd, timeout_ms);
  // A socket closed by the other thread during the wait fails the wait,
  // as a closed socket fails select().
  if (!StillOpen(fd)) return WAIT_ERROR;
  return rc;
}

int CClientSocket::WaitReadable(int timeout_ms) {
  int fd = AcquireFd();
  if (fd < 0) return WAIT_ERROR;
  int rc = WaitFd(fd, false, timeout_ms);
  ReleaseFd(fd);
  return rc;
}

int CClientSocket::WaitWritable(int timeout_ms) {
  int fd = AcquireFd();
  if (fd < 0) return WAIT_ERROR;
  int rc = WaitFd(fd, true, timeout_ms);
  ReleaseFd(fd);
  return rc;
}

bool CClientSocket::Connect(const char* host, int port) {
  if (host == nullptr) return false;
  return ConnectAttempt(host, port);
}

bool CClientSocket::ConnectAttempt(const char* host, int port) {
  int fd;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_hSocket == -1) m_hSocket = SocketCreateTcp();
    if (m_hSocket == -1) return false;
    fd = m_hSocket;
    ++m_nUsers;
  }
  bool ok = false;
  do {
    if (host == nullptr || !SocketSetNonBlocking(fd)) break;
    uint32_t addr;
    if (isalpha(static_cast<unsigned char>(host[0]))) {
      if (!ResolveIPv4(host, &addr)) break;  // no connect without an address
    } else {
      addr = ParseIPv4(host);  // not an address: 255.255.255.255, which fails
    }
    ConnectStart start = SocketConnectStart(fd, addr, static_cast<uint16_t>(port & 0xFFFF));
    if (start == ConnectStart::kFailed) break;  // socket stays open, unconnected
    if (WaitFd(fd, true, CONNECT_WAIT_MS) == WAIT_READY && SocketPendingError(fd) == 0) {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_hSocket == fd) {
        m_bConnected = 1;
        ok = true;
      }
    } else {
      ReleaseFd(fd);
      Close();  // a failed wait closes; the next attempt creates a new socket
      return false;
    }
  } while (false);
  ReleaseFd(fd);
  return ok;
}

int CClientSocket::Receive(char* buf, int size) {
  if (buf == nullptr || size <= 0) return 0;
  int fd = AcquireFd();
  if (fd < 0) return 0;
  int result = -1;
  if (WaitFd(fd, false, RECEIVE_WAIT_MS) == WAIT_READY) {
    ::memset(buf, 0, static_cast<size_t>(size));
    SleepMs(RECEIVE_PAUSE_MS);
    long n = SocketRecv(fd, buf, static_cast<size_t>(size));
    if (n >= 1) result = static_cast<int>(n);
  }
  ReleaseFd(fd);
  return result;
}

bool CClientSocket::Send(const void* data, size_t len) {
  int fd = AcquireFd();
  if (fd < 0) return false;
  const auto* p = static_cast<const char*>(data);
  bool ok = false;
  long n = SocketSend(fd, p, len);
  if (n >= 0) {
    const uint64_t deadline = MonotonicUs() + static_cast<uint64_t>(SEND_WAIT_MS) * 1000ULL;
    size_t sent = static_cast<size_t>(n);
    auto remaining_ms = [&]() -> int {
      uint64_t now = MonotonicUs();
      return now >= deadline ? 0 : static_cast<int>((deadline - now + 999) / 1000);
    };
    // The rest of a partial send, within the same bound.
    while (sent < len) {
      int left = remaining_ms();
      if (left <= 0 || WaitFd(fd, true, left) != WAIT_READY) break;
      long m = SocketSend(fd, p + sent, len - sent);
      if (m < 0) break;
      sent += static_cast<size_t>(m);
    }
    if (sent == len) {
      ok = WaitFd(fd, true, remaining_ms()) == WAIT_READY;
    } else if (sent > 0) {
      // Part of a packet is on the wire and the rest cannot follow in time:
      // the stream can no longer be framed. Give the connection up, so the
      // receive thread reports the link lost and it is reconnected clean.
      SocketShutdown(fd);
    }
  }
  ReleaseFd(fd);
  return ok;
}

std::string CClientSocket::GetPeerAddress() {
  int fd = AcquireFd();
  if (fd < 0) return std::string();
  std::string peer = SocketPeerAddress(fd);
  ReleaseFd(fd);
  return peer;
}

}  // namespace tessor
