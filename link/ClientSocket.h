// CClientSocket: the non-blocking TCP client socket of one link.
//
// States:   no socket (-1, 0) --create--> socket, unconnected (fd, 0)
//           socket, unconnected --Connect ok--> connected (fd, 1)
//           any --Close / failed connect wait--> no socket
//
// Threads: the host thread sends, connects and closes; the link's receive
// thread waits, receives and closes. m_lock guards m_hSocket and
// m_bConnected; a descriptor in use by a wait, receive or send is counted
// in m_nUsers, and a Close meanwhile shuts it down (waking the waiter) and
// leaves the close() to the last user, so no thread ever works on a closed
// or reused descriptor number.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "link/ByteSource.h"

namespace tessor {

constexpr int CONNECT_WAIT_MS = 1000;
constexpr int SEND_WAIT_MS = 100;
constexpr int RECEIVE_WAIT_MS = 100;
constexpr int RECEIVE_PAUSE_MS = 1;
constexpr int CONNECT_ATTEMPTS = 4;
constexpr int CONNECT_RETRY_PAUSE_MS = 2000;

class CClientSocket : public IByteSource {
 public:
  CClientSocket();
  ~CClientSocket() override;
  CClientSocket(const CClientSocket&) = delete;
  CClientSocket& operator=(const CClientSocket&) = delete;

  bool IsConnected() const override;
  // One attempt: resolve, connect, wait up to 1000 ms for the result.
  bool Connect(const char* host, int port);
  // Connect without the missing-host test (a ConnectWithRetry attempt).
  bool ConnectAttempt(const char* host, int port);
  int WaitReadable(int timeout_ms) override;
  int WaitWritable(int timeout_ms);
  int Receive(char* buf, int size) override;
  // One send of the whole packet, then up to 100 ms for writability; a
  // partial send is completed within that bound or counts as not sent.
  bool Send(const void* data, size_t len);
  std::string GetPeerAddress();
  void Close() override;

  // For tests and the benchmarks: the descriptor now (-1 if none).
  int HandleForTest() const;

 private:
  int AcquireFd();         // counts a user; -1 when there is no socket
  void ReleaseFd(int fd);  // the last user closes descriptors closed meanwhile
  bool StillOpen(int fd) const;
  int WaitFd(int fd, bool writable, int timeout_ms);

  mutable std::mutex m_lock;
  int m_bConnected = 0;           // guarded by m_lock
  int m_hSocket = -1;             // guarded by m_lock
  int m_nUsers = 0;               // guarded by m_lock
  std::vector<int> m_deferredClose;  // guarded by m_lock
};

}  // namespace tessor
