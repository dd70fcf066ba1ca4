// A byte source fed from a script of pieces, for the framing without a
// socket: each piece either arrives in time or too late (after the 100 ms
// that a further read waits), and the script may end in a close.
#pragma once

#include <string.h>

#include <deque>
#include <vector>

#include "link/ByteSource.h"

namespace tessor {

class CFakeSource : public IByteSource {
 public:
  struct SPiece {
    std::vector<uint8_t> bytes;
    bool bLate = false;  // arrives only after a read gave up
  };
  void Add(std::vector<uint8_t> bytes, bool late = false) { m_pieces.push_back({std::move(bytes), late}); }
  void CloseAtEnd() { m_bPeerClosed = true; }
  void FailWait() { m_bWaitFails = true; }

  bool IsConnected() const override { return !m_bClosed; }
  int WaitReadable(int) override {
    if (m_bWaitFails) return -2;
    if (m_pieces.empty()) return m_bPeerClosed ? 0 : -1;
    m_pieces.front().bLate = false;  // whatever is pending has arrived by now
    return 0;
  }
  int Receive(char* buf, int size) override {
    if (m_bClosed) return 0;
    if (m_pieces.empty() || m_pieces.front().bLate) {
      if (!m_pieces.empty()) m_pieces.front().bLate = false;
      return -1;  // nothing within 100 ms, or the peer closed
    }
    SPiece& p = m_pieces.front();
    size_t n = p.bytes.size() < static_cast<size_t>(size) ? p.bytes.size() : static_cast<size_t>(size);
    ::memcpy(buf, p.bytes.data(), n);
    p.bytes.erase(p.bytes.begin(), p.bytes.begin() + static_cast<long>(n));
    if (p.bytes.empty()) m_pieces.pop_front();
    return static_cast<int>(n);
  }
  void Close() override {
    m_bClosed = true;
    ++m_nCloses;
  }
  int m_nCloses = 0;

 private:
  std::deque<SPiece> m_pieces;
  bool m_bPeerClosed = false;
  bool m_bWaitFails = false;
  bool m_bClosed = false;
};

}  // namespace tessor
