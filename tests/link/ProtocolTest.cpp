// Golden bytes, written by hand from the layout tables (never produced by
// the encoders under test), then compared with what the encoders send.
#include "link/Protocol.h"

#include <gtest/gtest.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/LastLogin.h"
#include "link/ORVInterface.h"
#include "platform/Clock.h"
#include "tests/support/LogDir.h"
#include "tests/support/TestPeer.h"

namespace tessor {
namespace {

using Bytes = std::vector<uint8_t>;

struct SField {
  size_t nOffset;
  std::string strValue;
};

// A packet of total bytes: the header bytes given, zeros, the fields.
Bytes Golden(size_t total, std::initializer_list<uint8_t> header8, std::initializer_list<SField> fields) {
  Bytes b(total, 0);
  size_t i = 0;
  for (uint8_t x : header8) b[i++] = x;
  for (const auto& f : fields) ::memcpy(b.data() + f.nOffset, f.strValue.data(), f.strValue.size());
  return b;
}

class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_peer.Listen());
    m_link = CORVInterface::Create();
    ASSERT_TRUE(m_link->m_socket.Connect("127.0.0.1", m_peer.Port()));
    ASSERT_TRUE(m_peer.WaitAccepted(1, 5000));
    platform::SetClockForTest([] { return platform::SLocalTime{2024, 3, 5, 7, 8, 9, 10}; });
  }
  void TearDown() override { platform::SetClockForTest({}); }
  Bytes Sent(size_t index) {
    EXPECT_TRUE(m_peer.WaitPackets(index + 1, 5000));
    auto p = m_peer.Packets();
    return index < p.size() ? p[index] : Bytes();
  }
  CLogDir m_log;
  CTestPeer m_peer;
  std::shared_ptr<CORVInterface> m_link;
};

TEST_F(EncoderTest, EveryOutboundPacketMatchesItsLayout) {
  struct SCase {
    const char* name;
    std::function<bool(CORVInterface&)> send;
    Bytes golden;
  } cases[] = {
      {"C_LOGIN",
       [](CORVInterface& l) { return SendLoginPacket(l, "2001", "A100", "pw", "T1"); },
       Golden(144, {0x02, 0x01, 0x31, 0x00, 0x10, 0x00, 0x80, 0x00},
              {{16, "2001"}, {40, "T1"}, {72, "A100"}, {104, "pw"}})},
      {"C_LOGOUT",
       [](CORVInterface& l) { return SendLogoutPacket(l, "2001", "A100", "T1"); },
       Golden(112, {0x01, 0x01, 0x33, 0x00, 0x10, 0x00, 0x60, 0x00}, {{16, "2001"}, {40, "T1"}, {72, "A100"}})},
      {"C_GET_RECORD_CALLID",
       [](CORVInterface& l) { return SendGetCallIDPacket(l, "2001", "A100", "T1"); },
       Golden(112, {0x01, 0x01, 0x43, 0x00, 0x10, 0x00, 0x60, 0x00}, {{16, "A100"}, {48, "T1"}, {80, "2001"}})},
      {"C_MARK_INFO with the local time of encoding",
       [](CORVInterface& l) { return SendMarkInfoPacket(l, "2001", "CID-1", "A100", "T1"); },
       Golden(255, {0x01, 0x01, 0x3A, 0x00, 0x10, 0x00, 0xEF, 0x00},
              {{16, "A100"}, {48, "T1"}, {80, "CID-1"}, {208, "2001"}, {232, "20240305070809"}})},
      {"C_BASIC_INFO type -1",
       [](CORVInterface& l) { return SendBasicInfoPacket(l, "2001", "CID-1", "0101234", "0205678", "A100", "T1", -1); },
       Golden(290, {0x01, 0x01, 0x37, 0x00, 0x10, 0x00, 0x12, 0x01},
              {{16, "A100"}, {48, "T1"}, {80, "CID-1"}, {208, "2001"}, {232, "0101234"}, {256, "0205678"},
               {280, "\xFF\xFF"}})},
      {"C_BASIC_INFO type 300",
       [](CORVInterface& l) { return SendBasicInfoPacket(l, "2001", "CID-1", "", "", "A100", "T1", 300); },
       Golden(290, {0x01, 0x01, 0x37, 0x00, 0x10, 0x00, 0x12, 0x01},
              {{16, "A100"}, {48, "T1"}, {80, "CID-1"}, {208, "2001"}, {280, "\x2C\x01"}})},
      {"C_POST_INFO",
       [](CORVInterface& l) { return SendPostInfoPacket(l, "2001", "CID-1", "20240305070000", "note", "A100", "T1"); },
       Golden(383, {0x01, 0x01, 0x39, 0x00, 0x10, 0x00, 0x6F, 0x01},
              {{16, "A100"}, {48, "T1"}, {80, "CID-1"}, {208, "2001"}, {232, "20240305070000"}, {247, "note"}})},
      {"C_EXTEND_INFO: cid, ctel, name on the wire",
       [](CORVInterface& l) {
         return SendExtendInfoPacket(l, "2001", "CID-1", "KIM", "C77", "0107777", "i1", "i2", "i3", "i4", "i5",
                                     "A100", "T1");
       },
       Golden(3176, {0x01, 0x01, 0x38, 0x00, 0x10, 0x00, 0x58, 0x0C},
              {{16, "A100"}, {48, "T1"}, {80, "CID-1"}, {208, "2001"}, {232, "C77"}, {264, "0107777"},
               {288, "KIM"}, {352, "i1"}, {1376, "i2"}, {2400, "i3"}, {2656, "i4"}, {2912, "i5"}})},
      {"C_SET_SELECTION_RECORD",
       [](CORVInterface& l) { return SendSelectionRecordPacket(l, "2001", "CID-1", "A100", "T1"); },
       Golden(233, {0x01, 0x01, 0x57, 0x00, 0x10, 0x00, 0xD9, 0x00},
              {{16, "A100"}, {48, "T1"}, {80, "CID-1"}, {208, "2001"}, {232, "\x01"}})},
      {"C_START_SELECT_RECORD",
       [](CORVInterface& l) { return SendStartSelectRecordPacket(l, "2001", "CID-1", "A100", "T1"); },
       Golden(233, {0x01, 0x01, 0x63, 0x00, 0x10, 0x00, 0xD9, 0x00},
              {{16, "A100"}, {48, "T1"}, {80, "CID-1"}, {208, "2001"}, {232, "\x01"}})},
      {"C_STOP_SELECT_RECORD",
       [](CORVInterface& l) { return SendStopSelectRecordPacket(l, "2001", "CID-1", "A100", "T1"); },
       Golden(233, {0x01, 0x01, 0x64, 0x00, 0x10, 0x00, 0xD9, 0x00},
              {{16, "A100"}, {48, "T1"}, {80, "CID-1"}, {208, "2001"}, {232, "\x01"}})},
      {"C_KEEP_ALIVE",
       [](CORVInterface& l) {
         SendKeepAlivePacket(l);
         return true;
       },
       Golden(16, {0x01, 0x01, 0x48, 0x00, 0x10, 0x00, 0x00, 0x00}, {})},
  };
  size_t i = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.send(*m_link));
    EXPECT_EQ(Sent(i++), c.golden);
  }
}

TEST_F(EncoderTest, TextsAreCutAfterWidthLessOneAndAbsentTextsAreEmpty) {
  const std::string ext23(23, '7'), ext30(30, '8');
  SendGetCallIDPacket(*m_link, ext23.c_str(), nullptr, nullptr);
  SendGetCallIDPacket(*m_link, ext30.c_str(), "", nullptr);
  EXPECT_EQ(Sent(0), Golden(112, {0x01, 0x01, 0x43, 0x00, 0x10, 0x00, 0x60, 0x00}, {{80, ext23}}));
  EXPECT_EQ(Sent(1), Golden(112, {0x01, 0x01, 0x43, 0x00, 0x10, 0x00, 0x60, 0x00}, {{80, std::string(23, '8')}}));
}

TEST_F(EncoderTest, LoginCutsALongPasswordOnTheWireButKeepsItWholeAndOutOfTheLog) {
  LastLogin().ResetForTest();
  const std::string pwd40 = "0123456789012345678901234567890123456789";
  EXPECT_TRUE(SendLoginPacket(*m_link, "2001", "A100", pwd40.c_str(), "T1"));
  const Bytes sent = Sent(0);
  ASSERT_EQ(sent.size(), 144u);
  EXPECT_EQ(std::string(sent.begin() + 104, sent.begin() + 135), pwd40.substr(0, 31));
  EXPECT_EQ(sent[135], 0);
  EXPECT_EQ(LastLogin().Snapshot().strPWD, pwd40);
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"TENANT(T1), AID(A100), DN(2001) login packet send success",
                                                         "1- TENANT(T1), AID(A100), PWD(****), DN(2001)"}));
  EXPECT_EQ(m_log.Raw().find(pwd40.substr(0, 8)), std::string::npos);
}

TEST(Encoder, WithoutASocketNothingIsSentAndLoginStillAnswersTrue) {
  CLogDir log;
  LastLogin().ResetForTest();
  auto link = CORVInterface::Create();
  link->m_socket.Close();  // no handle at all
  EXPECT_FALSE(SendGetCallIDPacket(*link, "2001", "A100", "T1"));
  EXPECT_FALSE(SendMarkInfoPacket(*link, "2001", "C", "A100", "T1"));
  EXPECT_TRUE(SendLogoutPacket(*link, "2001", "A100", "T1"));
  EXPECT_TRUE(SendLoginPacket(*link, "2001", "A100", "pw", "T1"));
  EXPECT_EQ(log.Messages().front(), "TENANT(T1), AID(A100), DN(2001) login packet send fail");
  EXPECT_EQ(LastLogin().Snapshot().strDN, "2001");  // updated although not sent
}

}  // namespace
}  // namespace tessor
