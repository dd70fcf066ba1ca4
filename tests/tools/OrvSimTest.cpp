#include "tools/orvsim/OrvSim.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "link/Protocol.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "tests/support/Wait.h"
#include "tests/tools/SimClient.h"

namespace tessor {
namespace {

constexpr int WAIT_MS = 10000;

Bytes LoginBytes(const std::string& ext, const std::string& aid, const std::string& pwd, const std::string& tenant) {
  uint8_t b[SIZE_LOGIN];
  BuildLogin(b, ext.c_str(), aid.c_str(), pwd.c_str(), tenant.c_str());
  return Bytes(b, b + sizeof(b));
}
Bytes LogoutBytes(const std::string& ext, const std::string& aid, const std::string& tenant) {
  uint8_t b[SIZE_LOGOUT];
  BuildLogout(b, ext.c_str(), aid.c_str(), tenant.c_str());
  return Bytes(b, b + sizeof(b));
}
Bytes GetCallIdBytes(const std::string& ext) {
  uint8_t b[SIZE_GET_RECORD_CALLID];
  BuildGetCallID(b, ext.c_str(), "A100", "T1");
  return Bytes(b, b + sizeof(b));
}
Bytes KeepAliveBytes() {
  uint8_t b[SIZE_KEEP_ALIVE];
  BuildKeepAlive(b);
  return Bytes(b, b + sizeof(b));
}
uint16_t Code(const Bytes& p) { return GetU16(p.data() + 2); }
std::string TextAt(const Bytes& p, size_t offset, size_t width) {
  std::string s(width + 1, '\0');
  s.resize(GetText(p.data() + offset, width, s.data()));
  return s;
}
std::string K(const char* utf8) { return platform::Utf8ToCp949(utf8); }
bool IsOk(const std::string& result) { return result.rfind("ok", 0) == 0; }

std::string WriteTempFile(const std::string& content) {
  char path[] = "/tmp/orvsim-test-XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) return "";
  ::close(fd);
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

class OrvSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockForTest([] {
      platform::SLocalTime t;
      t.nYear = 2024;
      t.nMonth = 3;
      t.nDay = 5;
      return t;
    });
    m_sim.SetOutput([this](const std::string& line) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_vecLines.push_back(line);
    });
    ASSERT_TRUE(m_sim.Start(0));
    ASSERT_NE(m_sim.Port(), 0);
  }
  void TearDown() override {
    m_sim.Stop();
    platform::SetClockForTest({});
    for (const auto& path : m_vecTempFiles) ::unlink(path.c_str());
  }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_vecLines;
  }
  bool WaitLine(const std::string& part) {
    return WaitUntil(
        [&] {
          for (const auto& l : Lines())
            if (l.find(part) != std::string::npos) return true;
          return false;
        },
        WAIT_MS);
  }
  std::string TempFile(const std::string& content) {
    m_vecTempFiles.push_back(WriteTempFile(content));
    return m_vecTempFiles.back();
  }

  // Sends a login and answers the result code (-1 without an answer).
  int Login(CSimClient& c, const std::string& ext, const std::string& aid, const std::string& pwd,
            const std::string& tenant, int* recordType = nullptr) {
    if (!c.Send(LoginBytes(ext, aid, pwd, tenant))) return -1;
    Bytes answer;
    if (!c.ReadPacket(&answer, WAIT_MS) || Code(answer) != C_LOGIN_RESULT || answer.size() != SIZE_LOGIN_RESULT)
      return -1;
    if (recordType != nullptr) *recordType = GetU16(answer.data() + layout::LOGIN_RESULT_RECTYPE);
    return GetU16(answer.data() + layout::LOGIN_RESULT_CODE);
  }
  int Logout(CSimClient& c, const std::string& ext, const std::string& aid) {
    if (!c.Send(LogoutBytes(ext, aid, "T1"))) return -1;
    Bytes answer;
    if (!c.ReadPacket(&answer, WAIT_MS) || Code(answer) != C_LOGOUT_RESULT || answer.size() != SIZE_LOGOUT_RESULT)
      return -1;
    return answer[layout::LOGOUT_RESULT_FLAG];
  }
  std::string CallId(CSimClient& c, const std::string& ext) {
    Bytes answer;
    if (!c.Send(GetCallIdBytes(ext)) || !c.ReadPacket(&answer, WAIT_MS)) return "(no answer)";
    if (Code(answer) != C_GET_RECORD_CALLID_RESPONSE || answer.size() != SIZE_GET_RECORD_CALLID_RESPONSE)
      return "(wrong answer)";
    return TextAt(answer, layout::CALLID_RESPONSE_CALLID, W_CALLID);
  }
  bool Connect(CSimClient& c, size_t linksAfter) {
    return c.Connect(m_sim.Port()) && m_sim.WaitFor([&] { return m_sim.LinkCount() == linksAfter; }, WAIT_MS);
  }

  // Declared before the simulator: its last lines arrive while it stops.
  std::mutex m_lock;
  std::vector<std::string> m_vecLines;
  std::vector<std::string> m_vecTempFiles;
  COrvSim m_sim;
};

TEST_F(OrvSimTest, LoginAnswersFollowTheAccountsTable) {
  struct SCase {
    const char* ext;
    const char* aid;
    const char* pwd;
    const char* tenant;
    int result;
    int recordType;
  } cases[] = {
      {"2001", "A100", "1234", "T1", 3, 2},
      {"2002", "A200", "5678", "T1", 3, 1},
      {"2001", "NOBODY", "1234", "T1", 0, 0},
      {"2001", "A100", "4321", "T1", 1, 0},
      {"2001", "A100", "", "T1", 1, 0},
      {"2001", "A100", "1234", "T2", 6, 0},
      {"2002", "A100", "1234", "T1", 7, 0},
      {"2001", "a100", "1234", "T1", 0, 0},  // ids are compared byte for byte
      {"2001", "BUSY", "whatever", "T1", 5, 0},
      {"9999", "FAIL", "", "", 4, 0},
      {"", "", "", "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.aid) + "/" + c.pwd + "/" + c.tenant + "/" + c.ext);
    CSimClient client;
    ASSERT_TRUE(client.Connect(m_sim.Port()));
    ASSERT_TRUE(client.Send(LoginBytes(c.ext, c.aid, c.pwd, c.tenant)));
    Bytes answer;
    ASSERT_TRUE(client.ReadPacket(&answer, WAIT_MS));
    ASSERT_EQ(answer.size(), SIZE_LOGIN_RESULT);
    EXPECT_EQ(GetU16(answer.data()), LEAD_DEFAULT);
    EXPECT_EQ(Code(answer), C_LOGIN_RESULT);
    EXPECT_EQ(GetU16(answer.data() + 4), HEADER_LENGTH);
    EXPECT_EQ(GetU16(answer.data() + 6), SIZE_LOGIN_RESULT - HEADER_LENGTH);
    EXPECT_EQ(GetU16(answer.data() + layout::LOGIN_RESULT_CODE), c.result);
    EXPECT_EQ(GetU16(answer.data() + layout::LOGIN_RESULT_RECTYPE), c.recordType);
    client.Close();
    // The next row must not meet this login on a link still open.
    ASSERT_TRUE(m_sim.WaitFor([&] { return m_sim.LinkCount() == 0; }, WAIT_MS));
  }
  EXPECT_EQ(m_sim.PacketsReceived(C_LOGIN), std::size(cases));
  EXPECT_EQ(m_sim.PacketsSent(C_LOGIN_RESULT), std::size(cases));
}

TEST_F(OrvSimTest, SameAgentMayUseTwoLinksWithOneExtensionOnly) {
  CSimClient main, sub, other;
  ASSERT_TRUE(main.Connect(m_sim.Port()));
  ASSERT_TRUE(sub.Connect(m_sim.Port()));
  ASSERT_TRUE(other.Connect(m_sim.Port()));
  EXPECT_EQ(Login(main, "2001", "A100", "1234", "T1"), 3);
  EXPECT_EQ(Login(sub, "2001", "A100", "1234", "T1"), 3);  // main and sub link
  // Another extension while the agent is logged in: "already logged in"
  // comes before the extension check.
  EXPECT_EQ(Login(other, "2002", "A100", "1234", "T1"), 2);
  EXPECT_EQ(Logout(other, "2002", "A100"), 0);  // never logged in
  EXPECT_EQ(Logout(main, "2001", "A100"), 1);
  EXPECT_EQ(Login(other, "2002", "A100", "1234", "T1"), 2);  // sub still holds it
  EXPECT_EQ(Logout(sub, "2001", "A100"), 1);
  EXPECT_EQ(Login(other, "2002", "A100", "1234", "T1"), 7);
  EXPECT_EQ(Logout(main, "2001", "A100"), 0);  // already logged out

  // A closed link gives its login up too.
  EXPECT_EQ(Login(main, "2001", "A100", "1234", "T1"), 3);
  main.Close();
  ASSERT_TRUE(m_sim.WaitFor([&] { return m_sim.LinkCount() == 2; }, WAIT_MS));
  EXPECT_EQ(Login(other, "2001", "A100", "1234", "T1"), 3);
}

TEST_F(OrvSimTest, AccountsFileReplacesTheTable) {
  struct SBad {
    const char* content;
    const char* why;
  } bad[] = {
      {"A1 p T1 2001 1\nA2 p T1 2001\n", ":2:"},
      {"A1 p T1 2001 x\n", "record type"},
      {"A1 p T1 2001 70000\n", "record type"},
      {"A1 p T1 , 1\n", "extension"},
      {"A1 p T1 2001 1 result=abc\n", "option"},
      {"A1 p T1 2001 1 result=70000\n", "option"},
      {"A1 p T1 2001 1\nA1 q T1 2002 1\n", "duplicate"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.content);
    std::string error;
    const std::string path = TempFile(b.content);
    EXPECT_FALSE(m_sim.LoadAccounts(path, &error));
    EXPECT_NE(error.find(path + ":"), std::string::npos) << error;
    EXPECT_NE(error.find(b.why), std::string::npos) << error;
  }
  std::string error;
  EXPECT_FALSE(m_sim.LoadAccounts("/nonexistent/accounts", &error));
  {
    CSimClient c;
    ASSERT_TRUE(c.Connect(m_sim.Port()));
    EXPECT_EQ(Login(c, "2001", "A100", "1234", "T1"), 3);  // failed loads left the defaults
  }

  ASSERT_TRUE(m_sim.LoadAccounts(TempFile("# AID PWD TENANT EXTENSIONS RECTYPE\n"
                                          "\n"
                                          "   # indented comment\n"
                                          "상담01 암호 테넌트 3001,3002 4\n"
                                          "OPEN - T9 * 1\n"
                                          "FORCED x T1 * 0 result=9999\n"
                                          "NOLOG p T1 * 0 logout=0\n"),
                                 &error))
      << error;
  struct SCase {
    std::string ext, aid, pwd, tenant;
    int result;
    int recordType;
  } cases[] = {
      {"3002", K("상담01"), K("암호"), K("테넌트"), 3, 4},
      {"3001", K("상담01"), K("암호"), K("테넌트"), 3, 4},
      {"3003", K("상담01"), K("암호"), K("테넌트"), 7, 0},
      {"3001", K("상담01"), K("암호"), "T1", 6, 0},
      {"77", "OPEN", "", "T9", 3, 1},
      {"77", "OPEN", "-", "T9", 1, 0},
      {"1", "FORCED", "", "", 9999, 0},
      {"2001", "A100", "1234", "T1", 0, 0},  // the defaults are gone
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::Cp949ToUtf8(c.aid) + "@" + c.ext);
    CSimClient client;
    ASSERT_TRUE(client.Connect(m_sim.Port()));
    int recordType = -1;
    EXPECT_EQ(Login(client, c.ext, c.aid, c.pwd, c.tenant, &recordType), c.result);
    EXPECT_EQ(recordType, c.recordType);
    client.Close();
    ASSERT_TRUE(m_sim.WaitFor([&] { return m_sim.LinkCount() == 0; }, WAIT_MS));
  }
  CSimClient c;
  ASSERT_TRUE(c.Connect(m_sim.Port()));
  EXPECT_EQ(Login(c, "5", "NOLOG", "p", "T1"), 3);
  EXPECT_EQ(Logout(c, "5", "NOLOG"), 0);  // forced by the table
}

TEST_F(OrvSimTest, CallIdsCountUpPerExtension) {
  CSimClient a, b;
  ASSERT_TRUE(a.Connect(m_sim.Port()));
  ASSERT_TRUE(b.Connect(m_sim.Port()));
  EXPECT_EQ(CallId(a, "2001"), "20240305-2001-0001");
  EXPECT_EQ(CallId(a, "2001"), "20240305-2001-0002");
  EXPECT_EQ(CallId(b, "2002"), "20240305-2002-0001");
  EXPECT_EQ(CallId(b, "2001"), "20240305-2001-0003");  // counted per extension, not per link
  EXPECT_EQ(m_sim.PacketsReceived(C_GET_RECORD_CALLID), 4u);
}

TEST_F(OrvSimTest, UnaskedPushesReachTheChosenLinks) {
  CSimClient c[3];
  ASSERT_TRUE(Connect(c[0], 1));
  ASSERT_EQ(Login(c[0], "2001", "A100", "1234", "T1"), 3);
  ASSERT_TRUE(Connect(c[1], 2));
  ASSERT_EQ(Login(c[1], "2002", "A200", "5678", "T1"), 3);
  ASSERT_TRUE(Connect(c[2], 3));  // not logged in
  ASSERT_EQ(m_sim.LinkIds(), (std::vector<int>{1, 2, 3}));

  enum EKind { kValue, kAgent, kCallId };
  struct SCase {
    std::string command;
    uint16_t code;
    size_t size;
    std::vector<int> to;  // client indexes that receive it
    EKind kind;
    std::string expected;  // value as digits, or the CP949 text
  } cases[] = {
      {"rectype 2001 4", C_RECORD_TYPE_CHANGED, SIZE_RECORD_TYPE_CHANGED, {0}, kValue, "4"},
      {"status all 65535", C_AGENT_STATUS_CHANGED, SIZE_AGENT_STATUS_CHANGED, {0, 1, 2}, kValue, "65535"},
      {"status 2002 0", C_AGENT_STATUS_CHANGED, SIZE_AGENT_STATUS_CHANGED, {1}, kValue, "0"},
      {"rectype @3 7", C_RECORD_TYPE_CHANGED, SIZE_RECORD_TYPE_CHANGED, {2}, kValue, "7"},
      {"alarm 2002 상담원 A", C_LOGOUT_ALARM, SIZE_LOGOUT_ALARM, {1}, kAgent, K("상담원 A")},
      {"alarm all " + std::string(40, 'Z'), C_LOGOUT_ALARM, SIZE_LOGOUT_ALARM, {0, 1, 2}, kAgent,
       std::string(31, 'Z')},
      {"callid 2001 X-1", C_GET_RECORD_CALLID_RESPONSE, SIZE_GET_RECORD_CALLID_RESPONSE, {0}, kCallId, "X-1"},
      {"callid 2002", C_GET_RECORD_CALLID_RESPONSE, SIZE_GET_RECORD_CALLID_RESPONSE, {1}, kCallId,
       "20240305-2002-0001"},
      {"raw 2 01014800 10000000 0000000000000000", C_KEEP_ALIVE, SIZE_KEEP_ALIVE, {1}, kValue, ""},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.command);
    EXPECT_TRUE(IsOk(m_sim.Command(t.command)));
    for (int i : t.to) {
      SCOPED_TRACE(i);
      Bytes p;
      ASSERT_TRUE(c[i].ReadPacket(&p, WAIT_MS));
      EXPECT_EQ(Code(p), t.code);
      ASSERT_EQ(p.size(), t.size);
      EXPECT_EQ(GetU16(p.data()), LEAD_DEFAULT);
      std::string got;
      if (t.kind == kValue && !t.expected.empty()) got = std::to_string(GetU16(p.data() + layout::CHANGED_VALUE));
      if (t.kind == kAgent) got = TextAt(p, layout::LOGOUT_ALARM_AGENT, W_ALARM_AGENT);
      if (t.kind == kCallId) got = TextAt(p, layout::CALLID_RESPONSE_CALLID, W_CALLID);
      EXPECT_EQ(got, t.expected);
    }
  }
  // Nothing reached a link it was not meant for: the marker comes next everywhere.
  ASSERT_TRUE(IsOk(m_sim.Command("rectype all 12345")));
  for (auto& client : c) {
    Bytes p;
    ASSERT_TRUE(client.ReadPacket(&p, WAIT_MS));
    EXPECT_EQ(Code(p), C_RECORD_TYPE_CHANGED);
    EXPECT_EQ(GetU16(p.data() + layout::CHANGED_VALUE), 12345);
  }

  for (const char* wrong : {"rectype 3001 1", "rectype 2001 65536", "rectype 2001", "status all -1", "alarm 2001",
                            "callid", "drop 99", "drop x", "reset", "stall 0", "raw 1 0g", "raw 1 010", "raw 1",
                            "start", "sleep x", "frobnicate"}) {
    SCOPED_TRACE(wrong);
    EXPECT_EQ(m_sim.Command(wrong).rfind("error: ", 0), 0u);
  }
  EXPECT_EQ(m_sim.Command("   "), "ok");
  EXPECT_EQ(m_sim.Command("# a comment"), "ok");
  EXPECT_EQ(m_sim.LinkCount(), 3u);
}

TEST_F(OrvSimTest, DropResetStopAndStart) {
  CSimClient a, b;
  ASSERT_TRUE(Connect(a, 1));
  ASSERT_TRUE(Connect(b, 2));
  ASSERT_TRUE(a.Send(LoginBytes("2001", "A100", "1234", "T1")));
  ASSERT_TRUE(m_sim.WaitFor([&] { return m_sim.PacketsReceived(C_LOGIN) == 1; }, WAIT_MS));

  EXPECT_EQ(m_sim.Command("drop 1"), "ok 1 link");
  EXPECT_EQ(a.WaitEnd(WAIT_MS), 0);  // an orderly close, also with the answer unread
  EXPECT_EQ(m_sim.Command("reset @2"), "ok 1 link");
  EXPECT_EQ(b.WaitEnd(WAIT_MS), ECONNRESET);
  EXPECT_EQ(m_sim.LinkCount(), 0u);
  EXPECT_TRUE(WaitLine(R"({"event":"close","link":1,"reason":"drop"})"));
  EXPECT_TRUE(WaitLine(R"({"event":"close","link":2,"reason":"reset"})"));

  const uint16_t port = m_sim.Port();
  EXPECT_TRUE(IsOk(m_sim.Command("stop")));
  EXPECT_FALSE(m_sim.IsListening());
  CSimClient refused;
  EXPECT_FALSE(refused.Connect(port));
  EXPECT_EQ(refused.ConnectErrno(), ECONNREFUSED);
  EXPECT_EQ(m_sim.Command("stop").rfind("error", 0), 0u);

  EXPECT_TRUE(IsOk(m_sim.Command("start")));
  EXPECT_EQ(m_sim.Port(), port);
  CSimClient c, d;
  ASSERT_TRUE(Connect(c, 1));
  ASSERT_TRUE(Connect(d, 2));
  EXPECT_EQ(m_sim.LinkIds(), (std::vector<int>{3, 4}));  // ids are never reused
  EXPECT_EQ(Login(c, "2001", "A100", "1234", "T1"), 3);
  EXPECT_EQ(m_sim.Command("drop all"), "ok 2 links");
  EXPECT_EQ(c.WaitEnd(WAIT_MS), 0);
  EXPECT_EQ(d.WaitEnd(WAIT_MS), 0);
  EXPECT_EQ(m_sim.Command("drop all"), "ok 0 links");
}

TEST_F(OrvSimTest, StalledLinkIsReadOnlyAfterUnstall) {
  CSimClient a, b;
  ASSERT_TRUE(Connect(a, 1));
  ASSERT_TRUE(Connect(b, 2));
  EXPECT_EQ(m_sim.Command("stall 1"), "ok 1 link");
  ASSERT_TRUE(a.Send(LoginBytes("2001", "A100", "1234", "T1")));
  // Loopback delivers a send before it returns, so once the worker has read
  // b's later packet it would have seen a's login as well, had it read link 1.
  ASSERT_TRUE(b.Send(KeepAliveBytes()));
  ASSERT_TRUE(m_sim.WaitFor([&] { return m_sim.PacketsReceived(C_KEEP_ALIVE) == 1; }, WAIT_MS));
  EXPECT_EQ(m_sim.PacketsReceived(C_LOGIN), 0u);
  EXPECT_NE(m_sim.Command("links").find("1 127.0.0.1:"), std::string::npos);
  EXPECT_NE(m_sim.Command("links").find("stalled"), std::string::npos);

  // Pushes still go out to a stalled link.
  EXPECT_EQ(m_sim.Command("status @1 3"), "ok 1 link");
  Bytes p;
  ASSERT_TRUE(a.ReadPacket(&p, WAIT_MS));
  EXPECT_EQ(Code(p), C_AGENT_STATUS_CHANGED);

  EXPECT_EQ(m_sim.Command("unstall all"), "ok 2 links");
  ASSERT_TRUE(a.ReadPacket(&p, WAIT_MS));
  EXPECT_EQ(Code(p), C_LOGIN_RESULT);
  EXPECT_EQ(GetU16(p.data() + layout::LOGIN_RESULT_CODE), 3);
}

TEST_F(OrvSimTest, HostileClientsLeaveTheOtherLinksServed) {
  CSimClient good;
  ASSERT_TRUE(Connect(good, 1));
  ASSERT_EQ(Login(good, "2001", "A100", "1234", "T1"), 3);

  std::mt19937 rng(7);
  Bytes garbage(5000);
  for (auto& x : garbage) x = static_cast<uint8_t>(rng());
  Bytes huge = {0x01, 0x01, 0x48, 0x00, 0x10, 0x00, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes hugeWithBody = huge;
  hugeWithBody.resize(hugeWithBody.size() + 65535, 0xAB);
  const Bytes login = LoginBytes("2001", "A100", "1234", "T1");
  Bytes shortLogin(login.begin(), login.end() - 1);
  PutU16(shortLogin.data() + 6, static_cast<uint16_t>(SIZE_LOGIN - HEADER_LENGTH - 1));
  Bytes unknown = {0x01, 0x01, 0xE7, 0x03, 0x10, 0x00, 0x0A, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
  unknown.resize(unknown.size() + 10, 0x55);

  struct SCase {
    const char* what;
    std::vector<Bytes> sends;
    bool reset;          // end with a reset instead of a close
    bool expectAnswer;   // then a login on the same link is answered
  } cases[] = {
      {"random bytes", {garbage}, false, false},
      {"oversized body cut short, then reset", {huge, Bytes(1000, 0)}, true, false},
      {"oversized body read whole", {hugeWithBody}, false, true},
      {"half a header", {Bytes(huge.begin(), huge.begin() + 7)}, false, false},
      {"unknown code", {unknown}, false, true},
      {"login declared a byte short", {shortLogin}, false, true},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.what);
    CSimClient bad;
    ASSERT_TRUE(bad.Connect(m_sim.Port()));
    for (const Bytes& b : t.sends) ASSERT_TRUE(bad.Send(b));
    if (t.expectAnswer) {
      // The first answer on this link is the one to this login: nothing
      // before it was taken for a request.
      EXPECT_EQ(Login(bad, "2001", "A100", "1234", "T1"), 3);
    }
    if (t.reset) {
      bad.Reset();
    } else {
      bad.Close();
    }
    ASSERT_TRUE(m_sim.WaitFor([&] { return m_sim.LinkCount() == 1; }, WAIT_MS));
    EXPECT_EQ(CallId(good, "2001").rfind("20240305-2001-", 0), 0u);
  }
  EXPECT_TRUE(WaitLine(R"("code":72,"name":"C_KEEP_ALIVE","size":65551,"discarded":true})"));
  EXPECT_TRUE(WaitLine(R"("code":49,"name":"C_LOGIN","size":143,"expected":144})"));
  EXPECT_TRUE(WaitLine(R"("code":999,"name":"UNKNOWN","size":26})"));

  // A login trickling in byte by byte.
  CSimClient slow;
  ASSERT_TRUE(slow.Connect(m_sim.Port()));
  for (uint8_t byte : login) ASSERT_TRUE(slow.Send(&byte, 1));
  Bytes answer;
  ASSERT_TRUE(slow.ReadPacket(&answer, WAIT_MS));
  EXPECT_EQ(GetU16(answer.data() + layout::LOGIN_RESULT_CODE), 3);
}

TEST_F(OrvSimTest, OutputEscapesTextsAndNeverShowsPasswords) {
  CSimClient c;
  ASSERT_TRUE(c.Connect(m_sim.Port()));
  const std::string aid = "q\"b\\s\x01" + K("한");
  EXPECT_EQ(Login(c, "2001", aid, "s3cr3t-pw", "T\n1"), 0);
  EXPECT_EQ(Login(c, "2001", "A100", "1234", "T1"), 3);
  uint8_t basic[SIZE_BASIC_INFO];
  BuildBasicInfo(basic, "2001", "C-1", "0101", "1588", "A100", "T1", -1);
  ASSERT_TRUE(c.Send(basic, sizeof(basic)));
  ASSERT_TRUE(m_sim.WaitFor([&] { return m_sim.PacketsReceived(C_BASIC_INFO) == 1; }, WAIT_MS));
  ASSERT_TRUE(IsOk(m_sim.Command("alarm 2001 x\ty")));  // the words are joined by one space

  EXPECT_TRUE(WaitLine(R"({"dir":"in","link":1,"code":49,"name":"C_LOGIN","size":144,"ExtNo":"2001",)"
                       R"("Tenant":"T\u000A1","AID":"q\"b\\s\u0001한","PWD":"****"})"));
  EXPECT_TRUE(WaitLine(R"("AID":"A100","PWD":"****"})"));
  EXPECT_TRUE(WaitLine(R"({"dir":"out","link":1,"code":50,"name":"C_LOGIN_RESULT","size":213,"Result":3,)"
                       R"("RecordType":2})"));
  EXPECT_TRUE(WaitLine(R"("CallID":"C-1","ExtNo":"2001","ANI":"0101","DNIS":"1588","Type":-1})"));
  EXPECT_TRUE(WaitLine(R"("name":"C_LOGOUT_ALARM","size":48,"Agent":"x y"})"));
  EXPECT_TRUE(WaitLine(R"({"event":"accept","link":1,"peer":"127.0.0.1","port":)"));
  for (const auto& line : Lines()) {
    EXPECT_EQ(line.find("s3cr3t"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
}

TEST_F(OrvSimTest, ServesAThousandLinksAtOnce) {
  constexpr size_t N = 1000;
  rlimit rl{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &rl), 0);
  if (rl.rlim_cur < 2 * N + 100) {
    if (rl.rlim_max < 2 * N + 100) GTEST_SKIP() << "descriptor limit too low";
    rl.rlim_cur = 2 * N + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &rl), 0);
  }
  m_sim.SetOutput({});
  std::vector<std::unique_ptr<CSimClient>> clients;
  const Bytes login = LoginBytes("2001", "A100", "1234", "T1");
  for (size_t i = 0; i < N; ++i) {
    clients.push_back(std::make_unique<CSimClient>());
    ASSERT_TRUE(clients.back()->Connect(m_sim.Port())) << i;
    ASSERT_TRUE(clients.back()->Send(login)) << i;
  }
  for (size_t i = 0; i < N; ++i) {
    Bytes answer;
    ASSERT_TRUE(clients[i]->ReadPacket(&answer, WAIT_MS)) << i;
    ASSERT_EQ(GetU16(answer.data() + layout::LOGIN_RESULT_CODE), 3) << i;
  }
  EXPECT_EQ(m_sim.LinkCount(), N);
  EXPECT_EQ(m_sim.Command("rectype 2001 5"), "ok 1000 links");
  for (size_t i = 0; i < N; ++i) {
    Bytes p;
    ASSERT_TRUE(clients[i]->ReadPacket(&p, WAIT_MS)) << i;
    ASSERT_EQ(Code(p), C_RECORD_TYPE_CHANGED) << i;
  }
  clients.clear();
  EXPECT_TRUE(m_sim.WaitFor([&] { return m_sim.LinkCount() == 0; }, 30000));
}

TEST_F(OrvSimTest, CommandsFromManyThreadsAndFromTheOutputFunction) {
  // The output function may issue commands itself (on the worker).
  std::string nested;
  m_sim.SetOutput([&](const std::string& line) {
    if (line.find("\"event\":\"accept\"") != std::string::npos) nested = m_sim.Command("status all 8");
  });
  CSimClient c;
  ASSERT_TRUE(c.Connect(m_sim.Port()));
  Bytes p;
  ASSERT_TRUE(c.ReadPacket(&p, WAIT_MS));
  EXPECT_EQ(Code(p), C_AGENT_STATUS_CHANGED);
  m_sim.SetOutput({});
  EXPECT_EQ(nested, "ok 1 link");

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) m_sim.Command("rectype all " + std::to_string(t * 100 + i));
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(c.ReadPacket(&p, WAIT_MS)) << i;
  EXPECT_EQ(m_sim.PacketsSent(C_RECORD_TYPE_CHANGED), 200u);
}

TEST(OrvSimLifecycle, CommandsWithoutAWorkerAndRestart) {
  COrvSim sim;
  EXPECT_EQ(sim.Command("drop all"), "ok 0 links");
  EXPECT_EQ(sim.Command("start").rfind("error", 0), 0u);
  ASSERT_TRUE(sim.Start(0));
  EXPECT_FALSE(sim.Start(0));
  COrvSim other;
  EXPECT_FALSE(other.Start(sim.Port()));  // taken
  sim.Stop();
  sim.Stop();
  ASSERT_TRUE(sim.Start(0));
  CSimClient c;
  ASSERT_TRUE(c.Connect(sim.Port()));
  ASSERT_TRUE(sim.WaitFor([&] { return sim.LinkCount() == 1; }, WAIT_MS));
  EXPECT_EQ(sim.LinkIds(), std::vector<int>{1});
  sim.Stop();  // closes the links
  EXPECT_EQ(c.WaitEnd(WAIT_MS), 0);
  EXPECT_EQ(sim.LinkCount(), 0u);
}

// The program: script first, then standard input, until SIGTERM.
TEST(OrvSimProgram, RunsTheScriptAndServesUntilTerminated) {
  const std::string script = WriteTempFile("# warm-up\nlinks\nsleep 5\nbogus\n");
  int toChild[2], fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(toChild[0], STDIN_FILENO);
    ::dup2(fromChild[1], STDOUT_FILENO);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    ::execl(ORV_SIM_PATH, "orv-sim", "--port", "0", "--script", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  FILE* out = ::fdopen(fromChild[0], "r");
  ASSERT_NE(out, nullptr);
  auto readLine = [&] {
    char buf[4096];
    return ::fgets(buf, sizeof(buf), out) != nullptr ? std::string(buf) : std::string();
  };
  const std::string first = readLine();
  ASSERT_EQ(first.rfind(R"({"event":"listening","addr":"127.0.0.1","port":)", 0), 0u) << first;
  const int port = ::atoi(first.c_str() + first.find("\"port\":") + 7);
  EXPECT_EQ(readLine(), "{\"event\":\"result\",\"command\":\"links\",\"result\":\"ok 0 links\"}\n");
  EXPECT_EQ(readLine(), "{\"event\":\"result\",\"command\":\"sleep 5\",\"result\":\"ok\"}\n");
  EXPECT_NE(readLine().find("\"result\":\"error: unknown command 'bogus'"), std::string::npos);

  const std::string command = "links\n";
  ASSERT_EQ(::write(toChild[1], command.data(), command.size()), static_cast<ssize_t>(command.size()));
  ::close(toChild[1]);  // end of input: it keeps serving
  EXPECT_NE(readLine().find("\"command\":\"links\""), std::string::npos);
  {
    CSimClient c;
    ASSERT_TRUE(c.Connect(static_cast<uint16_t>(port)));
    EXPECT_NE(readLine().find(R"({"event":"accept","link":1,)"), std::string::npos);
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::fclose(out);
  ::unlink(script.c_str());
}

}  // namespace
}  // namespace tessor
