#include "link/Framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/link/FakeSource.h"
#include "tests/support/TestPeer.h"

namespace tessor {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Packet(uint16_t code, uint16_t bodyLen, uint8_t fill = 0xAB) {
  Bytes b = CTestPeer::RawHeader(code, 16, bodyLen);
  b.insert(b.end(), bodyLen, fill);
  return b;
}
Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

struct SPassOutcome {
  EPass pass;
  std::string failure;
  Bytes packet;  // header + body, as handed on
  size_t nZeroTail = 0;
};

SPassOutcome Pass(CFakeSource& src) {
  static uint8_t header[HEADER_LENGTH];
  static uint8_t body[MAX_PACKET_LENGTH];
  std::unique_ptr<PACKET_BUFFER> out;
  const char* failure = "";
  SPassOutcome o;
  o.pass = ReceivePass(src, 5000, header, body, &out, &failure);
  o.failure = failure;
  if (out) {
    const size_t len = HEADER_LENGTH + GetU16(out->data + 6);
    o.packet.assign(out->data, out->data + len);
    for (size_t i = len; i < sizeof(out->data); ++i)
      if (out->data[i] == 0) ++o.nZeroTail;
  }
  return o;
}

TEST(Framing, FailureExitsAndWhetherTheSocketIsClosed) {
  const Bytes p = Packet(C_GET_RECORD_CALLID_RESPONSE, 224);
  struct SCase {
    const char* name;
    std::function<void(CFakeSource&)> script;
    const char* failure;
    int nCloses;
  } cases[] = {
      {"the wait fails", [](CFakeSource& s) { s.FailWait(); }, "nresult == -2", 1},
      {"closed between packets", [](CFakeSource& s) { s.CloseAtEnd(); }, "1 - nreceived <= 0", 1},
      {"second header piece too late",
       [&](CFakeSource& s) {
         s.Add(Slice(p, 0, 7));
         s.Add(Slice(p, 7, p.size()), true);
       },
       "1 - bError is true", 1},
      {"closed right after the header",
       [&](CFakeSource& s) {
         s.Add(Slice(p, 0, 16));
         s.CloseAtEnd();
       },
       "2 - nreceived <= 0", 1},
      {"closed in the middle of the body",
       [&](CFakeSource& s) {
         s.Add(Slice(p, 0, 100));
         s.CloseAtEnd();
       },
       "2 - bError is true", 1},
      {"body longer than the largest packet",
       [](CFakeSource& s) { s.Add(CTestPeer::RawHeader(C_LOGIN_RESULT, 16, 4097)); }, "size > MAX_PACKET_LENGTH",
       0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    CFakeSource src;
    c.script(src);
    SPassOutcome o = Pass(src);
    EXPECT_EQ(o.pass, EPass::kFailed);
    EXPECT_EQ(o.failure, c.failure);
    EXPECT_EQ(src.m_nCloses, c.nCloses);
  }
}

TEST(Framing, AWholePacketIsHandedOnOnceWithZerosBeyondIt) {
  CFakeSource src;
  const Bytes p = Packet(C_LOGIN_RESULT, 197);
  src.Add(p);
  SPassOutcome o = Pass(src);
  ASSERT_EQ(o.pass, EPass::kPacket);
  EXPECT_EQ(o.packet, p);
  EXPECT_EQ(o.nZeroTail, sizeof(PACKET_BUFFER) - p.size());
  EXPECT_EQ(Pass(src).pass, EPass::kIdle);
}

TEST(Framing, APacketSplitAtEveryOffsetIsJoined) {
  const Bytes p = Packet(C_RECORD_TYPE_CHANGED, 26, 0x5A);
  for (size_t cut = 1; cut < p.size(); ++cut) {
    SCOPED_TRACE(cut);
    CFakeSource src;
    src.Add(Slice(p, 0, cut));
    src.Add(Slice(p, cut, p.size()));
    SPassOutcome o = Pass(src);
    ASSERT_EQ(o.pass, EPass::kPacket);
    EXPECT_EQ(o.packet, p);
  }
}

TEST(Framing, BareHeadersAreDroppedAndPacketsInOneSegmentAllArrive) {
  CFakeSource src;
  Bytes stream = CTestPeer::RawHeader(C_KEEP_ALIVE, 16, 0);
  const Bytes a = Packet(C_RECORD_TYPE_CHANGED, 26, 1), b = Packet(C_AGENT_STATUS_CHANGED, 26, 2);
  stream.insert(stream.end(), a.begin(), a.end());
  stream.insert(stream.end(), b.begin(), b.end());
  src.Add(stream);
  EXPECT_EQ(Pass(src).pass, EPass::kEmpty);
  EXPECT_EQ(Pass(src).packet, a);
  EXPECT_EQ(Pass(src).packet, b);
}

TEST(Framing, TheLargestBodyIsAccepted) {
  CFakeSource src;
  const Bytes p = Packet(C_LOGIN_RESULT, MAX_PACKET_LENGTH);
  // In pieces smaller than the body, each in time.
  for (size_t at = 0; at < p.size(); at += 1000) src.Add(Slice(p, at, std::min(p.size(), at + 1000)));
  SPassOutcome o = Pass(src);
  ASSERT_EQ(o.pass, EPass::kPacket);
  EXPECT_EQ(o.packet, p);
  EXPECT_EQ(o.nZeroTail, 0u);
}

}  // namespace
}  // namespace tessor
