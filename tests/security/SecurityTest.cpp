// What the log and the texts must never give away or let in: passwords in
// the log, a log readable by others or written through a link or into
// another user's folder, and host or server texts taken as formats.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "common/Log.h"
#include "control/Dispatch.h"
#include "tests/faults/Harness.h"

namespace tessor::faults {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// The day's file name inside a folder, as the writer builds it.
std::string DayFileIn(const std::string& folder) {
  const std::string current = CurrentLogPath();
  return folder + current.substr(current.rfind('/'));
}

class SecurityTest : public ControlFixture {};

TEST_F(SecurityTest, NoPasswordReachesTheLogInAWholeSession) {
  const std::string pwd40 = "Zq8#Kt2!Mw5$Rv7^Np3&Lx6*Hb9(Jc4)Gd1@Fe0+";
  const std::string pwd20 = "Yp4!Ux7@Ws2#Vr9$Qt6%";
  ASSERT_EQ(pwd40.size(), 40u);
  ASSERT_EQ(pwd20.size(), 20u);
  // One port for both links, since they reconnect to the port given last.
  CTestPeer& server = m_main;
  ASSERT_TRUE(server.Listen());
  const int16_t port = I2(server.Port());
  ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", port), 1);
  ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", port), 1);  // no login stored yet: the "2 -" line
  ASSERT_TRUE(server.WaitAccepted(2, kDeadlineMs));
  ASSERT_EQ(Ctrl().LoginToORV("2001", "A100", pwd40.c_str(), "T1"), 1);  // not limited: cut on the wire
  ASSERT_EQ(Ctrl().LoginToORV2("2001", "A100", pwd20.c_str(), "T1"), 1);
  ASSERT_EQ(Ctrl().LogOffFromORV("2001", "A100", "T1"), 1);
  ASSERT_EQ(Ctrl().LoginToORV("2001", "A100", pwd40.c_str(), "T1"), 1);
  // Both links lost and logged in again by the reconnection.
  server.Close(0);
  server.Close(1);
  ASSERT_TRUE(Pump([&] { return server.AcceptedCount() == 4; }, kReconnectWaitMs));
  for (int c : {2, 3}) ASSERT_TRUE(Pump([&] { return CountCode(server.Packets(c), C_LOGIN) == 1; }));
  // The module was unloaded and loaded again by the host: a second session.
  ASSERT_TRUE(Ctrl().DisconnectFromORV());
  ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", port), 1);  // logs in with the stored 40 bytes at once
  ASSERT_TRUE(Pump([&] { return server.AcceptedCount() == 5 && !server.Packets(4).empty(); }));

  // The packets carried the password, cut to 31 bytes where it is longer.
  const std::string wire40 = pwd40.substr(0, 31);
  int logins = 0;
  for (int c = 0; c < server.AcceptedCount(); ++c)
    for (const auto& p : server.Packets(c))
      if (Code(p) == C_LOGIN) {
        const std::string pwd = Field(p, 104, 32);
        EXPECT_TRUE(pwd == wire40 || pwd == pwd20) << pwd;
        ++logins;
      }
  EXPECT_EQ(logins, 6);

  const std::string raw = m_log.Raw();
  ASSERT_FALSE(raw.empty());
  for (const std::string& secret : {pwd40, pwd40.substr(0, 8), wire40, pwd20, pwd20.substr(0, 8)})
    EXPECT_EQ(raw.find(secret), std::string::npos) << "the log holds " << secret;
  int masked = 0;
  for (size_t at = raw.find("PWD("); at != std::string::npos; at = raw.find("PWD(", at + 1)) {
    EXPECT_EQ(raw.substr(at, 9), "PWD(****)") << "at byte " << at;
    ++masked;
  }
  EXPECT_GE(masked, 8) << "the login, re-login and connect lines all name the password";
}

TEST_F(SecurityTest, LogFolderAndFilesAreForTheOwnerOnly) {
  const mode_t old = ::umask(0);  // what the writer asks for is what it gets
  WriteLog("first line");
  ::umask(old);
  EXPECT_EQ(ModeOf(m_log.Dir()), 0700u);
  EXPECT_EQ(ModeOf(CurrentLogPath()), 0600u);
  // A file left readable by others is made private at the next line.
  ASSERT_EQ(::chmod(CurrentLogPath().c_str(), 0644), 0);
  WriteLog("second line");
  EXPECT_EQ(ModeOf(CurrentLogPath()), 0600u);
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"first line", "second line"}));
}

TEST_F(SecurityTest, ALogPathThatIsALinkIsNotWritten) {
  const std::string real = m_log.Parent() + "/real";
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);

  // The folder itself is a link to a folder of ours.
  const std::string linkedDir = m_log.Parent() + "/linked";
  ASSERT_EQ(::symlink(real.c_str(), linkedDir.c_str()), 0);
  ::setenv("TESSOR_LOG_DIR", linkedDir.c_str(), 1);
  WriteLog("through a linked folder");
  EXPECT_EQ(ModeOf(DayFileIn(real)), 0u) << "nothing written into the link's target";

  // The day's file is a link to another file.
  ::setenv("TESSOR_LOG_DIR", m_log.Dir().c_str(), 1);
  ASSERT_TRUE(::mkdir(m_log.Dir().c_str(), 0700) == 0 || errno == EEXIST);
  const std::string victim = real + "/victim";
  WriteFile(victim, "untouched");
  ASSERT_EQ(::symlink(victim.c_str(), CurrentLogPath().c_str()), 0);
  WriteLog("through a linked file");
  EXPECT_EQ(ReadFile(victim), "untouched");
  struct stat st;
  ASSERT_EQ(::lstat(CurrentLogPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is left as it was";
}

TEST_F(SecurityTest, ALogFolderOrFileOfAnotherUserIsNotWritten) {
  constexpr uid_t kNobody = 65534;
  ASSERT_TRUE(::mkdir(m_log.Dir().c_str(), 0700) == 0 || errno == EEXIST);
  if (::chown(m_log.Dir().c_str(), kNobody, kNobody) != 0)
    GTEST_SKIP() << "cannot give a folder to another user here (not root)";
  // Root could write anywhere: only the owner test keeps the line out.
  WriteLog("into another user's folder");
  EXPECT_EQ(ModeOf(CurrentLogPath()), 0u);

  // A folder of our own holding a file of another user.
  ASSERT_EQ(::chown(m_log.Dir().c_str(), ::geteuid(), ::getegid()), 0);
  WriteFile(CurrentLogPath(), "theirs\r\n");
  ASSERT_EQ(::chmod(CurrentLogPath().c_str(), 0600), 0);
  ASSERT_EQ(::chown(CurrentLogPath().c_str(), kNobody, kNobody), 0);
  WriteLog("into another user's file");
  EXPECT_EQ(ReadFile(CurrentLogPath()), "theirs\r\n");
}

TEST_F(SecurityTest, HostAndServerTextsAreNeverUsedAsFormats) {
  const std::string kFmt = "%s%n%x%p";  // short enough for every field
  // One port for both links, as they reconnect to the port given last.
  ASSERT_TRUE(m_main.Listen());
  const int16_t port = I2(m_main.Port());
  ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", port), 1);
  ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", port), 1);
  ASSERT_TRUE(m_main.WaitAccepted(2, kDeadlineMs));

  // Every method's every text argument, through the dispatch layer. The
  // connects come second (both slots are taken, so they only log).
  for (const SMemberDesc& m : InterfaceDescription()) {
    if (m.kind != EMemberKind::kMethod || m.params.empty() || m.nDispId == 21) continue;
    SCOPED_TRACE(m.szName);
    std::vector<CVariant> args;
    bool texts = false;
    for (const auto& p : m.params) {
      if (p.vt == VT::BSTR) {
        args.push_back(CVariant::Text(kFmt));
        texts = true;
      } else {
        args.push_back(CVariant::I2(m.nDispId == 1 || m.nDispId == 10 ? port : 1));
      }
    }
    if (!texts) continue;
    const size_t before = m_log.Messages().size();
    CVariant result;
    ASSERT_EQ(InvokeMethod(Ctrl(), m, args, &result), DISP_OK);
    const auto lines = m_log.Messages();
    bool literal = false;
    for (size_t i = before; i < lines.size(); ++i) literal = literal || lines[i].find(kFmt) != std::string::npos;
    EXPECT_TRUE(literal) << "no new line holds the text as it was given";
  }
  // ... and the wire carries them as they are.
  ASSERT_TRUE(WaitUntil([&] { return CountCode(m_main.Packets(0), C_STOP_SELECT_RECORD) == 1; }, kDeadlineMs));
  for (const auto& p : m_main.Packets(0))
    if (Code(p) == C_GET_RECORD_CALLID) {
      EXPECT_EQ(Field(p, 16, 32), kFmt);
    }

  // Server texts: a call id and the agent of a forced log-out.
  const std::string kServerFmt = "%n%n%s";
  ASSERT_TRUE(m_main.Send(CallIdResponse(kServerFmt), 0));
  ASSERT_TRUE(Pump([&] { return m_sink.Count("SetCurrentCallID \"" + kServerFmt + "\"") == 1; }));
  EXPECT_EQ(Ctrl().GetCallIDProperty(), kServerFmt);
  EXPECT_EQ(CountLines("SetCurrentCallID : CALLID(" + kServerFmt + ")"), 1);
  ASSERT_TRUE(m_main.Send(LogoutAlarm(kServerFmt), 0));
  ASSERT_TRUE(Pump([&] { return m_agent.Boxes().size() == 1; }));
  // The extension of the last login was the host's text.
  EXPECT_EQ(m_agent.Boxes()[0].text,
            kServerFmt + K(" 상담원이 내선번호 ") + kFmt +
                K("로 로그인해서 자동 로그아웃 됩니다. 반드시 상담원 Application을 재시작 해야 합니다."));
  EXPECT_EQ(m_sink.Count("Disconnected 9"), 1);
}

}  // namespace
}  // namespace tessor::faults
