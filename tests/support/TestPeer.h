// CTestPeer: a scripted server on 127.0.0.1 for the library's tests.
//
// It accepts connections one after the other on its own thread, records
// every byte each connection sends (and frames it into packets: a 16-byte
// header and BodyLength body bytes, whatever BodyLength says), and sends,
// closes or resets a connection when the test asks. Connections are counted
// from 0 in accept order; conn = -1 means the latest one.
//
// The black-hole mode gives a port whose connects stay pending: a listener
// with backlog 0 whose one queue place the peer fills itself, so that the
// kernel drops every further SYN and the client's connect times out.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tessor {

class CTestPeer {
 public:
  CTestPeer();
  ~CTestPeer();  // Stop()
  CTestPeer(const CTestPeer&) = delete;
  CTestPeer& operator=(const CTestPeer&) = delete;

  // Small SO_RCVBUF on the listener (inherited by the accepted sockets), so
  // that a connection that is not read fills the client's buffers soon.
  // Takes effect at the next Listen/ListenAgain.
  void SetSmallReceiveBuffer(bool small);
  // Listens on 127.0.0.1 (port 0: an ephemeral one) and starts the thread.
  bool Listen(uint16_t port = 0);
  uint16_t Port() const;
  // Closes the listener: later connects are refused. Accepted connections stay.
  void StopListening();
  // Listens again on the same port.
  bool ListenAgain();
  // Instead of Listen: a port on which a connect gets no answer (see above).
  bool ListenBlackHole();
  // Joins the thread and closes every socket. Recorded data stays readable.
  void Stop();

  int AcceptedCount() const;
  bool WaitAccepted(int n, int ms) const;

  std::vector<std::vector<uint8_t>> Packets(int conn = -1) const;
  bool WaitPackets(size_t n, int ms, int conn = -1) const;
  std::vector<uint8_t> RawBytes(int conn = -1) const;
  bool WaitRawBytes(size_t n, int ms, int conn = -1) const;
  // The client closed or reset the connection (seen while reading).
  bool PeerClosed(int conn = -1) const;
  bool WaitPeerClosed(int ms, int conn = -1) const;

  // Sends all bytes (waiting up to 5 s for room); false on error or time-out.
  bool Send(const std::vector<uint8_t>& bytes, int conn = -1);
  // Sends the bytes in pieces of the given sizes with delayMs between them;
  // bytes beyond the sum of the sizes go as a last piece.
  bool SendPieces(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieceSizes, int delayMs,
                  int conn = -1);
  void Close(int conn = -1);  // FIN
  void Reset(int conn = -1);  // SO_LINGER 0, then close: RST
  // Stops reading the connection until ResumeReading; the client's sends
  // then fill the buffers. Returns when no more reads will happen.
  void StopReading(int conn = -1);
  void ResumeReading(int conn = -1);

  // An inbound packet: Lead 0x0101, HeaderLength 16, BodyLength total - 16,
  // zero body; fill then writes the fields (it gets the packet's first byte).
  static std::vector<uint8_t> Packet(uint16_t code, size_t total, std::function<void(uint8_t*)> fill = {});
  // A 16-byte header with any HeaderLength and BodyLength.
  static std::vector<uint8_t> RawHeader(uint16_t code, uint16_t headerLen, uint16_t bodyLen);

 private:
  struct SConn;
  void IoMain();
  void AcceptAll();
  void ReadConn(SConn& conn);
  bool OpenListener(uint16_t port, int backlog);
  void RunOnIo(const std::function<void()>& task);
  std::shared_ptr<SConn> Find(int conn) const;  // caller holds m_lock
  std::shared_ptr<SConn> FindLocked(int conn) const;
  void CloseAll();
  void Wake();

  // m_lock guards everything below; m_cv announces accepts, data, closes and
  // finished tasks. The sockets are opened, read and closed on the I/O
  // thread only (while it runs), test threads only send on them.
  mutable std::mutex m_lock;
  mutable std::condition_variable m_cv;
  std::vector<std::shared_ptr<SConn>> m_vecConns;
  std::vector<std::function<void()>> m_vecTasks;
  uint64_t m_nTasksQueued = 0;
  uint64_t m_nTasksDone = 0;
  int m_hListen = -1;
  int m_hWake = -1;  // eventfd
  uint16_t m_nPort = 0;
  bool m_bSmallRcvBuf = false;
  bool m_bStopping = false;
  bool m_bIoRunning = false;
  std::vector<int> m_vecBlackHole;  // black-hole listener and the connects that fill it

  std::thread m_thread;  // started by Listen, joined by Stop (the owner's thread)
};

}  // namespace tessor
