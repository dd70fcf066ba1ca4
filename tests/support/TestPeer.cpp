#include "tests/support/TestPeer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "link/Protocol.h"
#include "platform/Thread.h"

namespace tessor {

namespace {

constexpr int LISTEN_BACKLOG = 16;
constexpr int SMALL_RCVBUF = 4096;   // the kernel doubles it and keeps a floor
constexpr int SEND_TIMEOUT_MS = 5000;

std::chrono::steady_clock::time_point Deadline(int ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
}

}  // namespace

struct CTestPeer::SConn {
  // Guards h against a close while a test thread sends. h is written on the
  // I/O thread holding m_lock and sendLock; readers hold either.
  std::mutex sendLock;
  int h = -1;
  // The rest: m_lock.
  bool bReading = true;
  bool bPeerClosed = false;
  std::vector<uint8_t> raw;
  size_t nFramed = 0;  // raw bytes already cut into packets
  std::vector<std::vector<uint8_t>> packets;
};

CTestPeer::CTestPeer() = default;

CTestPeer::~CTestPeer() { Stop(); }

void CTestPeer::SetSmallReceiveBuffer(bool small) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_bSmallRcvBuf = small;
}

// Caller holds m_lock.
bool CTestPeer::OpenListener(uint16_t port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (m_bSmallRcvBuf) {
    // Before listen(), so that the window offered in the handshake is small too.
    int size = SMALL_RCVBUF;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof(sa);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  m_nPort = ntohs(sa.sin_port);
  m_hListen = fd;
  return true;
}

bool CTestPeer::Listen(uint16_t port) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_bIoRunning || m_thread.joinable() || m_hListen >= 0 || !m_vecBlackHole.empty()) return false;
  if (!OpenListener(port, LISTEN_BACKLOG)) return false;
  m_hWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_hWake < 0) {
    ::close(m_hListen);
    m_hListen = -1;
    return false;
  }
  m_bStopping = false;
  m_bIoRunning = true;
  m_thread = std::thread(&CTestPeer::IoMain, this);
  return true;
}

uint16_t CTestPeer::Port() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nPort;
}

void CTestPeer::StopListening() {
  RunOnIo([this] {
    if (m_hListen >= 0) ::close(m_hListen);
    m_hListen = -1;
  });
}

bool CTestPeer::ListenAgain() {
  bool ok = false;
  RunOnIo([this, &ok] {
    if (!m_bIoRunning) return;  // stopped: nobody would accept
    ok = m_hListen >= 0 || OpenListener(m_nPort, LISTEN_BACKLOG);
  });
  return ok;
}

bool CTestPeer::ListenBlackHole() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_bIoRunning || m_hListen >= 0 || !m_vecBlackHole.empty()) return false;
  // Backlog 0 still queues one connection; once the queue is full the kernel
  // drops SYNs instead of refusing them, so a connect just waits.
  if (!OpenListener(0, 0)) return false;
  m_vecBlackHole.push_back(m_hListen);
  m_hListen = -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(m_nPort);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Connect to ourselves until one connect stays pending: that proves the
  // queue is full. The first is expected to complete, the second to hang.
  for (int i = 0; i < 3; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    m_vecBlackHole.push_back(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0) continue;
    if (errno != EINPROGRESS) break;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, i == 0 ? 2000 : 300) == 0) return true;  // pending: the hole is ready
  }
  for (int fd : m_vecBlackHole) ::close(fd);
  m_vecBlackHole.clear();
  m_nPort = 0;
  return false;
}

void CTestPeer::Stop() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bStopping = true;
    Wake();
  }
  if (m_thread.joinable()) m_thread.join();
  std::lock_guard<std::mutex> guard(m_lock);
  CloseAll();
  m_bStopping = false;
  m_cv.notify_all();
}

// Caller holds m_lock; the I/O thread has ended.
void CTestPeer::CloseAll() {
  for (auto& conn : m_vecConns) {
    std::lock_guard<std::mutex> send(conn->sendLock);
    if (conn->h >= 0) ::close(conn->h);
    conn->h = -1;
  }
  if (m_hListen >= 0) ::close(m_hListen);
  m_hListen = -1;
  for (int fd : m_vecBlackHole) ::close(fd);
  m_vecBlackHole.clear();
  if (m_hWake >= 0) ::close(m_hWake);
  m_hWake = -1;
}

// Caller holds m_lock.
void CTestPeer::Wake() {
  if (m_hWake < 0) return;
  const uint64_t one = 1;
  ssize_t rc = ::write(m_hWake, &one, sizeof(one));
  (void)rc;  // a full counter still wakes the thread
}

// Runs task on the I/O thread (or here when it does not run), with m_lock
// held, and returns when it has run.
void CTestPeer::RunOnIo(const std::function<void()>& task) {
  std::unique_lock<std::mutex> lk(m_lock);
  if (!m_bIoRunning) {
    task();
    m_cv.notify_all();
    return;
  }
  m_vecTasks.push_back(task);
  const uint64_t ticket = ++m_nTasksQueued;
  Wake();
  m_cv.wait(lk, [&] { return m_nTasksDone >= ticket; });
}

void CTestPeer::IoMain() {
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<SConn>> polled;  // per pollfd from index 2 on
  std::unique_lock<std::mutex> lk(m_lock);
  for (;;) {
    fds.clear();
    polled.clear();
    fds.push_back({m_hWake, POLLIN, 0});
    fds.push_back({m_hListen, POLLIN, 0});  // a negative fd is skipped by poll
    for (auto& conn : m_vecConns) {
      if (conn->h < 0 || !conn->bReading || conn->bPeerClosed) continue;
      fds.push_back({conn->h, POLLIN, 0});
      polled.push_back(conn);
    }
    if (m_bStopping) break;
    lk.unlock();
    int rc = ::poll(fds.data(), fds.size(), -1);
    lk.lock();
    if (rc < 0) continue;  // EINTR

    if (fds[0].revents != 0) {
      uint64_t count;
      while (::read(m_hWake, &count, sizeof(count)) > 0) {
      }
    }
    if (fds[1].revents != 0 && m_hListen == fds[1].fd) AcceptAll();
    for (size_t i = 2; i < fds.size(); ++i)
      if (fds[i].revents != 0) ReadConn(*polled[i - 2]);

    std::vector<std::function<void()>> tasks;
    tasks.swap(m_vecTasks);
    for (auto& task : tasks) task();
    m_nTasksDone += tasks.size();
    m_cv.notify_all();
  }
  // Tasks queued while stopping still run, so that no caller waits forever.
  for (auto& task : m_vecTasks) task();
  m_nTasksDone += m_vecTasks.size();
  m_vecTasks.clear();
  m_bIoRunning = false;
  m_cv.notify_all();
}

// I/O thread, m_lock held.
void CTestPeer::AcceptAll() {
  for (;;) {
    int fd = ::accept4(m_hListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    auto conn = std::make_shared<SConn>();
    conn->h = fd;
    m_vecConns.push_back(std::move(conn));
    m_cv.notify_all();
  }
}

// I/O thread, m_lock held.
void CTestPeer::ReadConn(SConn& conn) {
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::recv(conn.h, buf, sizeof(buf), 0);
    if (n > 0) {
      conn.raw.insert(conn.raw.end(), buf, buf + n);
      continue;
    }
    if (n < 0 && (errno == EINTR)) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) conn.bPeerClosed = true;
    break;
  }
  // Cut whole packets: 16 header bytes, then BodyLength at offset 6.
  for (;;) {
    const size_t avail = conn.raw.size() - conn.nFramed;
    if (avail < HEADER_LENGTH) break;
    const uint8_t* p = conn.raw.data() + conn.nFramed;
    const size_t total = HEADER_LENGTH + GetU16(p + 6);
    if (avail < total) break;
    conn.packets.emplace_back(p, p + total);
    conn.nFramed += total;
  }
  m_cv.notify_all();
}

// Caller holds m_lock.
std::shared_ptr<CTestPeer::SConn> CTestPeer::Find(int conn) const {
  if (m_vecConns.empty()) return nullptr;
  if (conn < 0) return m_vecConns.back();
  if (static_cast<size_t>(conn) >= m_vecConns.size()) return nullptr;
  return m_vecConns[static_cast<size_t>(conn)];
}

std::shared_ptr<CTestPeer::SConn> CTestPeer::FindLocked(int conn) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return Find(conn);
}

int CTestPeer::AcceptedCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return static_cast<int>(m_vecConns.size());
}

bool CTestPeer::WaitAccepted(int n, int ms) const {
  std::unique_lock<std::mutex> lk(m_lock);
  return m_cv.wait_until(lk, Deadline(ms), [&] { return static_cast<int>(m_vecConns.size()) >= n; });
}

std::vector<std::vector<uint8_t>> CTestPeer::Packets(int conn) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto c = Find(conn);
  return c ? c->packets : std::vector<std::vector<uint8_t>>();
}

bool CTestPeer::WaitPackets(size_t n, int ms, int conn) const {
  std::unique_lock<std::mutex> lk(m_lock);
  return m_cv.wait_until(lk, Deadline(ms), [&] {
    auto c = Find(conn);
    return c && c->packets.size() >= n;
  });
}

std::vector<uint8_t> CTestPeer::RawBytes(int conn) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto c = Find(conn);
  return c ? c->raw : std::vector<uint8_t>();
}

bool CTestPeer::WaitRawBytes(size_t n, int ms, int conn) const {
  std::unique_lock<std::mutex> lk(m_lock);
  return m_cv.wait_until(lk, Deadline(ms), [&] {
    auto c = Find(conn);
    return c && c->raw.size() >= n;
  });
}

bool CTestPeer::PeerClosed(int conn) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto c = Find(conn);
  return c && c->bPeerClosed;
}

bool CTestPeer::WaitPeerClosed(int ms, int conn) const {
  std::unique_lock<std::mutex> lk(m_lock);
  return m_cv.wait_until(lk, Deadline(ms), [&] {
    auto c = Find(conn);
    return c && c->bPeerClosed;
  });
}

bool CTestPeer::Send(const std::vector<uint8_t>& bytes, int conn) {
  auto c = FindLocked(conn);
  if (!c) return false;
  std::lock_guard<std::mutex> send(c->sendLock);
  if (c->h < 0) return false;
  const uint64_t deadline = platform::MonotonicMs() + SEND_TIMEOUT_MS;
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(c->h, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const uint64_t now = platform::MonotonicMs();
    if (now >= deadline) return false;
    pollfd p{c->h, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(deadline - now));
  }
  return true;
}

bool CTestPeer::SendPieces(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieceSizes, int delayMs,
                           int conn) {
  size_t off = 0;
  bool first = true;
  auto piece = [&](size_t n) {
    if (!first && delayMs > 0) platform::SleepMs(delayMs);
    first = false;
    std::vector<uint8_t> part(bytes.begin() + static_cast<long>(off), bytes.begin() + static_cast<long>(off + n));
    off += n;
    return Send(part, conn);
  };
  for (size_t size : pieceSizes) {
    const size_t n = std::min(size, bytes.size() - off);
    if (n == 0) continue;
    if (!piece(n)) return false;
  }
  if (off < bytes.size() && !piece(bytes.size() - off)) return false;
  return true;
}

void CTestPeer::Close(int conn) {
  RunOnIo([this, conn] {
    auto c = Find(conn);
    if (!c) return;
    std::lock_guard<std::mutex> send(c->sendLock);
    if (c->h >= 0) ::close(c->h);
    c->h = -1;
  });
}

void CTestPeer::Reset(int conn) {
  RunOnIo([this, conn] {
    auto c = Find(conn);
    if (!c) return;
    std::lock_guard<std::mutex> send(c->sendLock);
    if (c->h < 0) return;
    linger lg{1, 0};
    ::setsockopt(c->h, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    ::close(c->h);
    c->h = -1;
  });
}

void CTestPeer::StopReading(int conn) {
  RunOnIo([this, conn] {
    if (auto c = Find(conn)) c->bReading = false;
  });
}

void CTestPeer::ResumeReading(int conn) {
  RunOnIo([this, conn] {
    if (auto c = Find(conn)) c->bReading = true;
  });
}

std::vector<uint8_t> CTestPeer::Packet(uint16_t code, size_t total, std::function<void(uint8_t*)> fill) {
  std::vector<uint8_t> v(std::max<size_t>(total, HEADER_LENGTH), 0);
  PutU16(v.data() + 0, LEAD_DEFAULT);
  PutU16(v.data() + 2, code);
  PutU16(v.data() + 4, HEADER_LENGTH);
  PutU16(v.data() + 6, static_cast<uint16_t>(v.size() - HEADER_LENGTH));
  if (fill) fill(v.data());
  return v;
}

std::vector<uint8_t> CTestPeer::RawHeader(uint16_t code, uint16_t headerLen, uint16_t bodyLen) {
  std::vector<uint8_t> v(HEADER_LENGTH, 0);
  PutU16(v.data() + 0, LEAD_DEFAULT);
  PutU16(v.data() + 2, code);
  PutU16(v.data() + 4, headerLen);
  PutU16(v.data() + 6, bodyLen);
  return v;
}

}  // namespace tessor
