#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessor::platform {

int SocketCreateTcp() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    // Every packet leaves whole in one send: holding a small request back
    // for the server's delayed acknowledgement only adds latency.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  return fd;
}

bool SocketSetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void SocketClose(int fd) {
  if (fd >= 0) ::close(fd);
}

void SocketShutdown(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool ResolveIPv4(const char* name, uint32_t* addr) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr) return false;
  bool found = false;
  for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addr != nullptr) {
      *addr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      found = true;
      break;
    }
  }
  ::freeaddrinfo(res);
  return found;
}

uint32_t ParseIPv4(const char* text) {
  in_addr a{};
  // inet_aton accepts the same forms as inet_addr; failure is all ones.
  if (::inet_aton(text, &a) == 0) return 0xFFFFFFFFu;
  return a.s_addr;
}

ConnectStart SocketConnectStart(int fd, uint32_t addr_net, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr_net;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return ConnectStart::kConnected;
  if (errno == EINPROGRESS || errno == EAGAIN) return ConnectStart::kInProgress;
  return ConnectStart::kFailed;
}

int SocketPendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

static int PollOne(int fd, short events, int timeout_ms) {
  if (fd < 0) return WAIT_ERROR;
  pollfd p{fd, events, 0};
  int rc = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
  if (rc < 0) return errno == EINTR ? WAIT_TIMEOUT : WAIT_ERROR;
  if (rc == 0) return WAIT_TIMEOUT;
  if (p.revents & POLLNVAL) return WAIT_ERROR;
  // A hang-up or error makes the socket "ready": the following read or
  // send reports the failure, as select() would have let it.
  return WAIT_READY;
}

int PollReadable(int fd, int timeout_ms) { return PollOne(fd, POLLIN, timeout_ms); }
int PollWritable(int fd, int timeout_ms) { return PollOne(fd, POLLOUT, timeout_ms); }

long SocketSend(int fd, const void* data, size_t len) {
  ssize_t n;
  do {
    n = ::send(fd, data, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long SocketRecv(int fd, void* buf, size_t len) {
  ssize_t n;
  do {
    n = ::recv(fd, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

std::string SocketPeerAddress(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (fd < 0 || ::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return std::string();
  char text[INET_ADDRSTRLEN] = {0};
  if (::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof(text)) == nullptr) return std::string();
  return text;
}

int SocketListen(const char* addr, uint16_t port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = ParseIPv4(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t SocketLocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int SocketAccept(int listen_fd) {
  int fd;
  do {
    fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace tessor::platform
