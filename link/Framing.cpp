#include "link/Framing.h"

#include <string.h>

namespace tessor {

EPass ReceivePass(IByteSource& source, int wait_ms, uint8_t (&header)[HEADER_LENGTH],
                  uint8_t (&body)[MAX_PACKET_LENGTH], std::unique_ptr<PACKET_BUFFER>* pOut, const char** pFailure) {
  int nresult = source.WaitReadable(wait_ms);
  if (nresult == -1) return EPass::kIdle;
  if (nresult == -2) {
    source.Close();
    *pFailure = "nresult == -2";
    return EPass::kFailed;
  }

  char* h = reinterpret_cast<char*>(header);
  int nreceived = source.Receive(h, HEADER_LENGTH);
  if (nreceived <= 0) {
    source.Close();
    *pFailure = "1 - nreceived <= 0";
    return EPass::kFailed;
  }
  while (nreceived < HEADER_LENGTH) {
    int n = source.Receive(h + nreceived, HEADER_LENGTH - nreceived);
    if (n <= 0) {
      source.Close();
      *pFailure = "1 - bError is true";
      return EPass::kFailed;
    }
    nreceived += n;
  }

  const int size = GetU16(header + 6);  // BodyLength; HeaderLength is not used here
  ::memset(body, 0, sizeof(body));
  if (size == 0) return EPass::kEmpty;
  if (size > MAX_PACKET_LENGTH) {
    *pFailure = "size > MAX_PACKET_LENGTH";  // the socket stays open
    return EPass::kFailed;
  }

  char* b = reinterpret_cast<char*>(body);
  nreceived = source.Receive(b, size);
  if (nreceived <= 0) {
    source.Close();
    *pFailure = "2 - nreceived <= 0";
    return EPass::kFailed;
  }
  while (nreceived < size) {
    int n = source.Receive(b + nreceived, size - nreceived);
    if (n <= 0) {
      source.Close();
      *pFailure = "2 - bError is true";
      return EPass::kFailed;
    }
    nreceived += n;
  }

  auto packet = std::make_unique<PACKET_BUFFER>();  // value-initialised: zero-filled
  ::memcpy(packet->data, header, HEADER_LENGTH);
  ::memcpy(packet->data + HEADER_LENGTH, body, static_cast<size_t>(size));
  *pOut = std::move(packet);
  return EPass::kPacket;
}

}  // namespace tessor
