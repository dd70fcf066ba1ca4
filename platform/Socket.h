// Thin POSIX socket layer: the only place where the library makes socket
// system calls. Everything here is non-blocking and bounded by explicit
// time-outs; readiness waits use poll(), so descriptors above 1024 work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessor::platform {

constexpr int INVALID_SOCKET_FD = -1;

// Readiness answers shared by every wait of the library.
constexpr int WAIT_READY = 0;
constexpr int WAIT_TIMEOUT = -1;
constexpr int WAIT_ERROR = -2;

int SocketCreateTcp();                    // AF_INET stream socket, close-on-exec; -1 on failure
bool SocketSetNonBlocking(int fd);
void SocketClose(int fd);                 // close(); never lingers with time 0
void SocketShutdown(int fd);              // wakes any thread polling the socket

// Resolves a host name to its first IPv4 address (network order).
bool ResolveIPv4(const char* name, uint32_t* addr);
// inet_addr semantics: anything that is not a dotted address gives 0xFFFFFFFF.
uint32_t ParseIPv4(const char* text);

enum class ConnectStart { kConnected, kInProgress, kFailed };
ConnectStart SocketConnectStart(int fd, uint32_t addr_net, uint16_t port);
int SocketPendingError(int fd);           // SO_ERROR, or errno when it cannot be read

// poll() for one descriptor: WAIT_READY, WAIT_TIMEOUT or WAIT_ERROR.
int PollReadable(int fd, int timeout_ms);
int PollWritable(int fd, int timeout_ms);

// One send with MSG_NOSIGNAL: bytes accepted, or -1 (errno kept).
long SocketSend(int fd, const void* data, size_t len);
// One recv: bytes, 0 on orderly close, -1 on error.
long SocketRecv(int fd, void* buf, size_t len);

// Peer address as dotted text, or "" when there is none.
std::string SocketPeerAddress(int fd);

// Listening helpers for the simulator and the test peers (loopback only).
int SocketListen(const char* addr, uint16_t port, int backlog);  // -1 on failure
uint16_t SocketLocalPort(int fd);
int SocketAccept(int listen_fd);                                 // blocking accept, -1 on failure

}  // namespace tessor::platform
