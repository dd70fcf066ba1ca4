// A raw loopback client for the simulator tests: connects, sends bytes,
// and reads the server's packets framed by their headers.
#pragma once

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "link/Protocol.h"
#include "platform/Thread.h"

namespace tessor {

using Bytes = std::vector<uint8_t>;

class CSimClient {
 public:
  CSimClient() = default;
  ~CSimClient() { Close(); }
  CSimClient(const CSimClient&) = delete;
  CSimClient& operator=(const CSimClient&) = delete;

  // Blocking connect to 127.0.0.1; false when refused.
  bool Connect(uint16_t port) {
    Close();
    m_h = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_h < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_h, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
      m_nConnectErrno = errno;
      Close();
      return false;
    }
    return true;
  }
  int ConnectErrno() const { return m_nConnectErrno; }

  bool Send(const Bytes& bytes) { return Send(bytes.data(), bytes.size()); }
  bool Send(const void* data, size_t len) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
      ssize_t n = ::send(m_h, p, len, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }

  // The next whole packet within ms; false on time-out or end of stream.
  bool ReadPacket(Bytes* out, int ms) {
    const uint64_t deadline = platform::MonotonicMs() + static_cast<uint64_t>(ms);
    for (;;) {
      if (m_vecBuf.size() >= HEADER_LENGTH) {
        const size_t total = HEADER_LENGTH + GetU16(m_vecBuf.data() + 6);
        if (m_vecBuf.size() >= total) {
          out->assign(m_vecBuf.begin(), m_vecBuf.begin() + static_cast<long>(total));
          m_vecBuf.erase(m_vecBuf.begin(), m_vecBuf.begin() + static_cast<long>(total));
          return true;
        }
      }
      if (Fill(deadline) <= 0) return false;
    }
  }

  // Reads until the stream ends: 0 for an orderly close, the errno of a
  // failed read (ECONNRESET for a reset), -1 when ms pass first.
  int WaitEnd(int ms) {
    const uint64_t deadline = platform::MonotonicMs() + static_cast<uint64_t>(ms);
    for (;;) {
      const long n = Fill(deadline);
      if (n == 0) return 0;
      if (n == -1) return m_nReadErrno;
      if (n == -2) return -1;
    }
  }

  void Close() {
    if (m_h >= 0) ::close(m_h);
    m_h = -1;
    m_vecBuf.clear();
  }
  void Reset() {
    if (m_h < 0) return;
    linger lg{1, 0};
    ::setsockopt(m_h, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    Close();
  }
  int Fd() const { return m_h; }

 private:
  // Bytes read (> 0), 0 at end of stream, -1 on a read error, -2 on time-out.
  long Fill(uint64_t deadline) {
    for (;;) {
      const uint64_t now = platform::MonotonicMs();
      if (now >= deadline) return -2;
      pollfd p{m_h, POLLIN, 0};
      int rc = ::poll(&p, 1, static_cast<int>(deadline - now));
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return -2;
      uint8_t buf[8192];
      ssize_t n = ::recv(m_h, buf, sizeof(buf), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        m_nReadErrno = errno;
        return -1;
      }
      m_vecBuf.insert(m_vecBuf.end(), buf, buf + n);
      return n;
    }
  }

  int m_h = -1;
  int m_nConnectErrno = 0;
  int m_nReadErrno = 0;
  Bytes m_vecBuf;  // received, not yet returned as packets
};

}  // namespace tessor
