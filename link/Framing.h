// The receive loop's framing, apart from the socket: one pass reads one
// packet (a 16-byte header, then the body it announces) from a byte source
// with the loop's readiness wait and its failure exits.
#pragma once

#include <memory>

#include "link/ByteSource.h"
#include "link/ORVInterface.h"

namespace tessor {

constexpr int RECEIVE_IDLE_WAIT_MS = 5000;

enum class EPass {
  kIdle,    // the readiness wait timed out
  kEmpty,   // a bare header (BodyLength 0), dropped
  kPacket,  // *pOut holds a whole packet
  kFailed,  // *pFailure names the failure; the link is broken
};

// header and body are the thread's own buffers, reused for the whole run.
EPass ReceivePass(IByteSource& source, int wait_ms, uint8_t (&header)[HEADER_LENGTH],
                  uint8_t (&body)[MAX_PACKET_LENGTH], std::unique_ptr<PACKET_BUFFER>* pOut, const char** pFailure);

}  // namespace tessor
