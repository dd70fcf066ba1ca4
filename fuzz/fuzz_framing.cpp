// The receive framing (ReceivePass) fed from arbitrary bytes cut into
// arbitrary pieces, the way a socket hands them over: joined and split
// headers and bodies, pieces that come too late, a peer that closes, a
// readiness wait that fails.
//
// Input: one option byte, then pieces, each a control byte (size 1..32 from
// its low five bits, "late" when its top three bits are all set) and that
// many stream bytes. Passes run until one fails or the stream is used up.
//
// Checked on every run: each packet handed on has BodyLength <= 4096 and is
// exactly the next bytes of the stream, zeros after them; a bare header is
// consumed; a failure is one of the loop's exits and closes the source
// exactly once, except for an oversized body, which leaves it open. When no
// piece is late the whole sequence of passes is predicted from the stream
// alone and must match.
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "link/Framing.h"
#include "tests/link/FakeSource.h"

namespace tessor::fuzz {
namespace {

struct SOutcome {
  EPass pass;
  std::string failure;  // for kFailed
  bool operator==(const SOutcome& o) const { return pass == o.pass && failure == o.failure; }
};

uint16_t BodyLengthAt(const std::vector<uint8_t>& s, size_t off) {
  return static_cast<uint16_t>(s[off + 6] | (s[off + 7] << 8));
}

// The passes that a stream arriving in timely pieces must give, from the
// framing rules: 16-byte header, BodyLength from offset 6, 0 dropped, more
// than 4096 refused, otherwise that many body bytes.
std::vector<SOutcome> Predict(const std::vector<uint8_t>& s, bool bPeerCloses, bool bWaitFailsAtEnd) {
  std::vector<SOutcome> out;
  size_t off = 0;
  for (;;) {
    const size_t left = s.size() - off;
    if (left == 0) {
      if (bPeerCloses) {
        out.push_back({EPass::kFailed, "1 - nreceived <= 0"});
      } else {
        out.push_back({EPass::kIdle, ""});
        if (bWaitFailsAtEnd) out.push_back({EPass::kFailed, "nresult == -2"});
      }
      return out;
    }
    if (left < HEADER_LENGTH) {
      out.push_back({EPass::kFailed, "1 - bError is true"});
      return out;
    }
    const size_t body = BodyLengthAt(s, off);
    if (body == 0) {
      out.push_back({EPass::kEmpty, ""});
      off += HEADER_LENGTH;
      continue;
    }
    if (body > static_cast<size_t>(MAX_PACKET_LENGTH)) {
      out.push_back({EPass::kFailed, "size > MAX_PACKET_LENGTH"});
      return out;
    }
    const size_t have = left - HEADER_LENGTH;
    if (have == 0) {
      out.push_back({EPass::kFailed, "2 - nreceived <= 0"});
      return out;
    }
    if (have < body) {
      out.push_back({EPass::kFailed, "2 - bError is true"});
      return out;
    }
    out.push_back({EPass::kPacket, ""});
    off += HEADER_LENGTH + body;
  }
}

bool IsLoopExit(const std::string& f) {
  static const char* const kExits[] = {"nresult == -2",      "1 - nreceived <= 0",
                                       "1 - bError is true", "size > MAX_PACKET_LENGTH",
                                       "2 - nreceived <= 0", "2 - bError is true"};
  for (const char* e : kExits)
    if (f == e) return true;
  return false;
}

}  // namespace
}  // namespace tessor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessor;
  using namespace tessor::fuzz;
  CInput in(data, size);
  const uint8_t options = in.Byte();
  const bool bPeerCloses = (options & 1) != 0;
  const bool bWaitFailsAtEnd = (options & 2) != 0;

  CFakeSource source;
  std::vector<uint8_t> stream;
  bool bAnyLate = false;
  while (!in.Empty()) {
    const uint8_t c = in.Byte();
    const size_t n = 1 + (c & 0x1F);
    const bool late = (c & 0xE0) == 0xE0;
    const std::string piece = in.Bytes(n);
    if (piece.empty()) break;
    bAnyLate = bAnyLate || late;
    source.Add(std::vector<uint8_t>(piece.begin(), piece.end()), late);
    stream.insert(stream.end(), piece.begin(), piece.end());
  }
  if (bPeerCloses) source.CloseAtEnd();

  uint8_t header[HEADER_LENGTH];
  uint8_t body[MAX_PACKET_LENGTH];
  std::vector<SOutcome> seen;
  size_t off = 0;  // stream bytes consumed by the passes so far
  bool bFailedWait = false;
  for (;;) {
    std::unique_ptr<PACKET_BUFFER> packet;
    const char* failure = nullptr;
    const int closesBefore = source.m_nCloses;
    const EPass pass = ReceivePass(source, RECEIVE_IDLE_WAIT_MS, header, body, &packet, &failure);
    seen.push_back({pass, pass == EPass::kFailed && failure != nullptr ? failure : ""});

    if (pass == EPass::kPacket) {
      FUZZ_CHECK(packet != nullptr);
      const uint8_t* p = packet->data;
      const size_t bodyLen = static_cast<size_t>(p[6] | (p[7] << 8));
      FUZZ_CHECK(bodyLen >= 1 && bodyLen <= static_cast<size_t>(MAX_PACKET_LENGTH));
      FUZZ_CHECK(off + HEADER_LENGTH + bodyLen <= stream.size());
      FUZZ_CHECK(::memcmp(p, stream.data() + off, HEADER_LENGTH + bodyLen) == 0);
      for (size_t i = HEADER_LENGTH + bodyLen; i < sizeof(packet->data); ++i) FUZZ_CHECK(p[i] == 0);
      FUZZ_CHECK(source.m_nCloses == closesBefore);
      off += HEADER_LENGTH + bodyLen;
      continue;
    }
    FUZZ_CHECK(packet == nullptr);  // nothing is handed on otherwise
    if (pass == EPass::kEmpty) {
      FUZZ_CHECK(off + HEADER_LENGTH <= stream.size());
      FUZZ_CHECK(::memcmp(header, stream.data() + off, HEADER_LENGTH) == 0);
      FUZZ_CHECK(header[6] == 0 && header[7] == 0);
      off += HEADER_LENGTH;
      continue;
    }
    if (pass == EPass::kIdle) {
      FUZZ_CHECK(!bFailedWait);
      FUZZ_CHECK(source.m_nCloses == closesBefore);
      if (bWaitFailsAtEnd) {
        source.FailWait();
        bFailedWait = true;
        continue;
      }
      break;  // the stream is used up
    }
    // kFailed: the loop ends here.
    FUZZ_CHECK(failure != nullptr && IsLoopExit(failure));
    if (::strcmp(failure, "size > MAX_PACKET_LENGTH") == 0) {
      FUZZ_CHECK(off + HEADER_LENGTH <= stream.size());
      FUZZ_CHECK(::memcmp(header, stream.data() + off, HEADER_LENGTH) == 0);
      FUZZ_CHECK((header[6] | (header[7] << 8)) > MAX_PACKET_LENGTH);
      FUZZ_CHECK(source.m_nCloses == closesBefore);  // left open for the owner
    } else {
      FUZZ_CHECK(source.m_nCloses == closesBefore + 1);
    }
    break;
  }
  FUZZ_CHECK(off <= stream.size());
  if (!bAnyLate) FUZZ_CHECK(seen == Predict(stream, bPeerCloses, bWaitFailsAtEnd));
  return 0;
}
