// What the receive framing reads from: the link's socket, or bytes alone in
// the tests and the fuzzers.
#pragma once

namespace tessor {

class IByteSource {
 public:
  virtual ~IByteSource() = default;
  virtual bool IsConnected() const = 0;
  virtual int WaitReadable(int timeout_ms) = 0;  // 0 ready, -1 time-out, -2 error
  virtual int Receive(char* buf, int size) = 0;  // >= 1 bytes, -1, or 0 without socket
  virtual void Close() = 0;
};

}  // namespace tessor
