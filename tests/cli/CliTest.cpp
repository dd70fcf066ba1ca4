// tessor-cli end to end: each test writes a script, runs the program in a
// process of its own with the embedded simulator on an ephemeral port and a
// log folder of its own, and checks the transcript on standard output.
//
// Call ids carry the date, so transcripts compare with every id of the
// simulator's form replaced by CALLID.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct SRun {
  int nExit = -1;
  bool bTimedOut = false;
  std::string strOut;
  std::string strErr;
  std::vector<std::string> vecLines;  // stdout, one entry per line

  std::string Dump() const { return "--- stdout ---\n" + strOut + "--- stderr ---\n" + strErr; }
};

// Answers what to write to the program's standard input after a line.
using LineReply = std::function<std::string(const std::string& line)>;

constexpr int RUN_DEADLINE_MS = 120000;  // only bounds a hung program

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Runs tessor-cli in a session of its own (no controlling terminal, so that
// --interactive falls back to standard input). stdinPath names a file for
// standard input; with a reply function it is a pipe instead.
SRun RunCli(const std::vector<std::string>& args, const std::string& logDir, const std::string& stdinPath,
            const LineReply& reply) {
  SRun run;
  int out[2], err[2], in[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return run;
  if (reply && ::pipe2(in, O_CLOEXEC) != 0) return run;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (reply)
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("TESSOR_LOG_DIR=", 0) != 0) env.emplace_back(*e);
  env.push_back("TESSOR_LOG_DIR=" + logDir);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStore{TESSOR_CLI_PATH};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, TESSOR_CLI_PATH, &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  ::close(err[1]);
  if (in[0] >= 0) ::close(in[0]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    if (in[1] >= 0) ::close(in[1]);
    run.strErr = "posix_spawn failed";
    return run;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RUN_DEADLINE_MS);
  bool bOutOpen = true, bErrOpen = true;
  size_t nSeen = 0;  // bytes of strOut already offered to reply
  while (bOutOpen || bErrOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.bTimedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[2] = {{bOutOpen ? out[0] : -1, POLLIN, 0}, {bErrOpen ? err[0] : -1, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    char buf[4096];
    for (int k = 0; k < 2; ++k) {
      if (fds[k].revents == 0) continue;
      const ssize_t n = ::read(fds[k].fd, buf, sizeof(buf));
      if (n <= 0) {
        (k == 0 ? bOutOpen : bErrOpen) = false;
        continue;
      }
      (k == 0 ? run.strOut : run.strErr).append(buf, static_cast<size_t>(n));
    }
    for (size_t eol; reply && (eol = run.strOut.find('\n', nSeen)) != std::string::npos; nSeen = eol + 1) {
      const std::string answer = reply(run.strOut.substr(nSeen, eol - nSeen));
      if (!answer.empty() && ::write(in[1], answer.data(), answer.size()) < 0) ADD_FAILURE() << "stdin write";
    }
  }
  ::close(out[0]);
  ::close(err[0]);
  if (in[1] >= 0) ::close(in[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.nExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.vecLines = SplitLines(run.strOut);
  return run;
}

// The simulator's call ids: date, extension, number.
std::string NormalizeCallIds(const std::string& line) {
  static const std::regex callId("[0-9]{8}-[0-9]+-[0-9]{4}");
  return std::regex_replace(line, callId, "CALLID");
}

std::vector<std::string> Normalized(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines) out.push_back(NormalizeCallIds(l));
  return out;
}

std::vector<std::string> WithPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/tessor-cli-test-XXXXXX";
    const char* made = ::mkdtemp(templ);
    ASSERT_NE(made, nullptr);
    m_strDir = made;
    m_strLogDir = m_strDir + "/log";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_strDir, ec);
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = m_strDir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  SRun Run(const std::vector<std::string>& args, const std::string& stdinPath = "", const LineReply& reply = {}) {
    return RunCli(args, m_strLogDir, stdinPath, reply);
  }
  SRun RunScript(const std::string& text, const LineReply& reply = {}) {
    return Run({"--script", WriteFile("script.tessor", text), "--sim", "0"}, "", reply);
  }
  SRun RunExample(const std::string& name) {
    return Run({"--script", std::string(TESSOR_EXAMPLES_DIR) + "/" + name, "--sim", "0"});
  }
  void ExpectTranscript(const SRun& run, const std::vector<std::string>& expected) {
    EXPECT_FALSE(run.bTimedOut);
    EXPECT_EQ(run.nExit, 0) << run.Dump();
    EXPECT_EQ(Joined(Normalized(run.vecLines)), Joined(expected)) << run.Dump();
  }

  std::string m_strDir;
  std::string m_strLogDir;
};

TEST_F(CliTest, AgentSessionExampleShowsEveryStepAndEvent) {
  const SRun run = RunExample("agent-session.tessor");
  ExpectTranscript(run, {
                            "ConnectToORV -> 1",
                            "ConnectToORV2 -> 1",
                            "LoginToORV -> 1",
                            "event LoginSuccess 2",
                            "AStatus = 3",
                            "RType = 2",
                            "GetCallID -> void",
                            "event SetCallID",
                            "event SetCurrentCallID \"CALLID\"",
                            "CallID = \"CALLID\"",
                            "SendMarkInfo -> void",
                            "SendBasicInfo -> void",
                            "SendPostInfo -> void",
                            "SendExtendInfo -> void",
                            "SetSelectionRecord -> void",
                            "StartSelectRecord -> void",
                            "StopSelectRecord -> void",
                            "sim: ok 1 link",
                            "event RecTypeChange 1",
                            "sim: ok 1 link",
                            "event AgentStatusChange 4",
                            "RType = 1",
                            "AStatus = 4",
                            "sim: ok 1 link",
                            "event Disconnected 2",
                            "event LoginSuccess 2",
                            "LogOffFromORV -> 1",
                            "event Disconnected 0",
                            "DisconnectFromORV -> TRUE",
                        });
  // The library's diagnostic log went to the folder this test gave it.
  bool bLog = false;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(m_strLogDir, ec))
    if (entry.path().filename().string().rfind("RECClient-", 0) == 0) bLog = true;
  EXPECT_TRUE(bLog) << "no RECClient-MMDD.log in " << m_strLogDir;
}

TEST_F(CliTest, WrongPasswordAndAlarmExampleShowsBothBoxes) {
  const SRun run = RunExample("wrong-password-and-alarm.tessor");
  ExpectTranscript(run, {
                            "ConnectToORV -> 1",
                            "LoginToORV -> 1",
                            "msgbox \"Tessor\" 0x00000030 \"비밀번호가 틀렸습니다.\"",
                            "AStatus = 0",
                            "LoginToORV -> 1",
                            "event LoginSuccess 2",
                            "sim: ok 1 link",
                            "event Disconnected 9",
                            "msgbox \"녹취경고\" 0x00050010 \"A100 상담원이 내선번호 2001로 로그인해서 자동 로그아웃 "
                            "됩니다. 반드시 상담원 Application을 재시작 해야 합니다.\"",
                            "timeout LoginSuccess",
                            "DisconnectFromORV -> TRUE",
                        });
}

TEST_F(CliTest, LostSubLinkIsReconnectedAndLogsInAgain) {
  const SRun run = RunScript(
      "ConnectToORV 127.0.0.1 $SIMPORT\n"
      "ConnectToORV2 127.0.0.1 $SIMPORT\n"
      "LoginToORV 2001 A100 1234 T1\n"
      "wait LoginSuccess\n"
      "sim drop 2\n"
      "wait Disconnected\n"
      "wait LoginSuccess 8000\n"
      "sim links\n"
      "DisconnectFromORV\n");
  ASSERT_GE(run.vecLines.size(), 9u) << run.Dump();
  const std::vector<std::string> head(run.vecLines.begin(), run.vecLines.begin() + 8);
  EXPECT_EQ(Joined(head), Joined({"ConnectToORV -> 1", "ConnectToORV2 -> 1", "LoginToORV -> 1", "event LoginSuccess 2",
                                  "sim: ok 1 link", "event Disconnected 2", "event LoginSuccess 2", "sim: ok 2 links"}))
      << run.Dump();
  // Both links are logged in at the server again: main (1) and the new sub link (3).
  const std::regex loggedIn("sim: [13] 127\\.0\\.0\\.1:[0-9]+ AID=A100 ExtNo=2001 Tenant=T1");
  ASSERT_EQ(run.vecLines.size(), 11u) << run.Dump();
  EXPECT_TRUE(std::regex_match(run.vecLines[8], loggedIn)) << run.Dump();
  EXPECT_TRUE(std::regex_match(run.vecLines[9], loggedIn)) << run.Dump();
  EXPECT_EQ(run.vecLines[10], "DisconnectFromORV -> TRUE");
  EXPECT_EQ(run.nExit, 0) << run.Dump();
}

TEST_F(CliTest, ForcedLogoutOnTheMainLinkEndsBothLinksQuietly) {
  // The sub link logs in by itself when it connects after a login; the
  // alarm names another agent and goes to the main link only.
  const SRun run = RunScript(
      "ConnectToORV 127.0.0.1 $SIMPORT\n"
      "LoginToORV 2001 A100 1234 T1\n"
      "wait LoginSuccess\n"
      "ConnectToORV2 127.0.0.1 $SIMPORT\n"
      "wait LoginSuccess\n"
      "sim alarm @1 상담원7\n"
      "wait Disconnected\n"
      "wait msgbox\n"
      "# Neither link is reported lost, nothing reconnects.\n"
      "wait Disconnected 6000\n"
      "get AStatus\n"
      "DisconnectFromORV\n");
  ExpectTranscript(run, {
                            "ConnectToORV -> 1",
                            "LoginToORV -> 1",
                            "event LoginSuccess 2",
                            "ConnectToORV2 -> 1",
                            "event LoginSuccess 2",
                            "sim: ok 1 link",
                            "event Disconnected 9",
                            "msgbox \"녹취경고\" 0x00050010 \"상담원7 상담원이 내선번호 2001로 로그인해서 자동 로그아웃 "
                            "됩니다. 반드시 상담원 Application을 재시작 해야 합니다.\"",
                            "timeout Disconnected",
                            "AStatus = 3",
                            "DisconnectFromORV -> TRUE",
                        });
}

struct SBadLine {
  const char* szName;
  std::string strLine;
  std::string strError;  // the whole error line
};

TEST_F(CliTest, EveryUnrunnableLineGivesOneErrorAndTheScriptGoesOn) {
  const SBadLine cases[] = {
      {"unknown command", "frobnicate 1", "error: unknown command 'frobnicate'"},
      {"command names are case-sensitive", "Get AStatus", "error: unknown method 'Get'"},
      {"unknown method", "ConnectToXYZ 127.0.0.1 1", "error: unknown method 'ConnectToXYZ'"},
      {"method names are case-sensitive", "getVersion", "error: unknown command 'getVersion'"},
      {"quoted command", "\"GetVersion\"", "error: unknown command \"GetVersion\" (a command is a bare word)"},
      {"too few arguments", "ConnectToORV 127.0.0.1",
       "error: ConnectToORV takes 2 arguments (server port), got 1"},
      {"too many arguments", "GetVersion now", "error: GetVersion takes 0 arguments, got 1"},
      {"I2 above its range", "SetInterval 32768", "error: SetInterval argument 1 (interval): 32768 is outside -32768..32767"},
      {"I2 below its range", "SendBasicInfo 2001 C1 ANI DNIS A100 T1 -32769",
       "error: SendBasicInfo argument 7 (type): -32769 is outside -32768..32767"},
      {"I2 not a number", "ConnectToORV 127.0.0.1 51OO",
       "error: ConnectToORV argument 2 (port): \"51OO\" is not a decimal integer"},
      {"I2 given null", "SetInterval null", "error: SetInterval argument 1 (interval): \"null\" is not a decimal integer"},
      {"unterminated quote", "SendMarkInfo 2001 \"C1 A100 T1", "error: unterminated quote at byte 19"},
      {"unknown escape", "SendMarkInfo 2001 \"C\\1\" A100 T1", "error: unknown escape in quotes at byte 21 (known: \\\" \\\\ \\n \\t)"},
      {"invalid UTF-8", "SendMarkInfo 2001 C\xff\xfe A100 T1", "error: invalid UTF-8 at byte 20"},
      {"CP949 instead of UTF-8", "set CallID \"\xc7\xd1\"", "error: invalid UTF-8 at byte 13"},
      {"property called as a method", "CallID", "error: 'CallID' is a property: use get CallID or set CallID VALUE"},
      {"event called as a method", "LoginSuccess", "error: 'LoginSuccess' is an event: use wait LoginSuccess [MS]"},
      {"unknown property", "get Nothing", "error: unknown property \"Nothing\""},
      {"property value out of range", "set AStatus 65536", "error: set AStatus: 65536 is outside 0..65535"},
      {"property value not a number", "set AStatus x", "error: set AStatus: \"x\" is not a decimal integer"},
      {"get without a name", "get", "error: get takes 1 argument (PROPERTY), got 0"},
      {"unknown event", "wait Nothing 10", "error: unknown event \"Nothing\""},
      {"negative pump", "pump -1", "error: pump: \"-1\" is not a number of milliseconds (0..86400000)"},
      {"window message by an unknown name", "message WM_NOTHING 0",
       "error: message: unknown window message \"WM_NOTHING\" (WM_SET_CALLID ... WM_SET_TELNUMBER or a number)"},
      {"unknown variable", "ConnectToORV 127.0.0.1 $PORT",
       "error: unknown variable $PORT (known: $SIMPORT $CALLID; quote a text that begins with $)"},
      {"the simulator's sleep", "sim sleep 10", "error: sim sleep would stop the host loop: use pump MS"},
      {"sim without a command", "sim", "error: sim: a simulator command is missing (try sim help)"},
      {"quit with an argument", "quit now", "error: quit takes no arguments, got 1"},
  };
  // Each bad line is followed by a good one: its answer must come next.
  std::string script = "set AStatus 7\n";
  std::vector<std::string> expected = {"AStatus = 7"};
  for (const SBadLine& c : cases) {
    script += c.strLine + "\nGetVersion\n";
    expected.push_back(c.strError);
    expected.push_back("GetVersion -> \"1.0.0.28\"");
  }
  // Nothing that was refused changed the control.
  script += "get AStatus\nget CallID\n";
  expected.push_back("AStatus = 7");
  expected.push_back("CallID = \"\"");

  const SRun run = RunScript(script);
  EXPECT_EQ(run.nExit, 0) << run.Dump();
  const std::vector<std::string>& got = run.vecLines;
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].szName);
    const size_t at = 1 + 2 * i;
    ASSERT_GT(got.size(), at + 1) << run.Dump();
    EXPECT_EQ(got[at], expected[at]);
    EXPECT_EQ(got[at + 1], expected[at + 1]);
  }
  EXPECT_EQ(Joined(got), Joined(expected)) << run.Dump();
}

TEST_F(CliTest, PropertiesRoundTripTextsAndNumbers) {
  const SRun run = RunScript(
      "get CallID\n"
      "get AStatus\n"
      "get RType\n"
      "get OcxVersion\n"
      "set OcxVersion \"9.9 \\\"beta\\\"\\n\\\\x\"\n"
      "GetVersion\n"
      "set CallID \"콜-001\\t끝\"\n"
      "get CallID\n"
      "set CallID \"a😀b\"\n"
      "set CallID \"\"\n"
      "set CallID null\n"
      "set RType 65535\n"
      "set AStatus 0\n"
      "DisconnectFromORV\n");
  ExpectTranscript(run, {
                            "CallID = \"\"",
                            "AStatus = 0",
                            "RType = 0",
                            "OcxVersion = \"1.0.0.28\"",
                            "OcxVersion = \"9.9 \\\"beta\\\"\\n\\\\x\"",
                            "GetVersion -> \"1.0.0.28\"",
                            "CallID = \"콜-001\\t끝\"",
                            "CallID = \"콜-001\\t끝\"",
                            // A character that code page 949 lacks becomes '?'.
                            "CallID = \"a?b\"",
                            "CallID = \"\"",
                            "CallID = \"\"",
                            "RType = 65535",
                            "AStatus = 0",
                            "DisconnectFromORV -> TRUE",
                        });
}

TEST_F(CliTest, WindowMessagesFromASecondThreadFireTheirEvents) {
  const SRun run = RunScript(
      "message WM_LOGIN_SUCCESS 5\n"
      "get AStatus\n"
      "get RType\n"
      "message WM_AGENT_STATUS_CHANGE 1\n"
      "get AStatus\n"
      "get RType\n"
      "message WM_RECTYPE_CHANGE 0xFFFF\n"
      "get RType\n"
      "message 0x469 2\n"
      "message 1129 9\n"
      "message WM_SET_TELNUMBER 0\n"
      "message WM_SET_CALLID 0\n"
      "get CallID\n"
      "message 1 0\n"
      "GetVersion\n");
  ASSERT_EQ(run.nExit, 0) << run.Dump();
  const std::vector<std::string> expected = {
      "event LoginSuccess 5",
      "AStatus = 3",
      "RType = 5",
      "event AgentStatusChange 1",
      "AStatus = 1",
      "RType = 5",
      // The event carries the low 16 bits as a signed value, the property unsigned.
      "event RecTypeChange -1",
      "RType = 65535",
      "event Disconnected 2",
      "event Disconnected 9",
      "event SetTelNumber \"\"",
      "event SetCallID",
      "event SetCurrentCallID \"\"",
      "CallID = \"\"",
  };
  ASSERT_EQ(run.vecLines.size(), expected.size() + 2) << run.Dump();
  EXPECT_EQ(Joined(std::vector<std::string>(run.vecLines.begin(), run.vecLines.begin() + expected.size())),
            Joined(expected));
  // Messages that belong to the library itself are refused, not sent.
  EXPECT_EQ(run.vecLines[expected.size()].rfind("error: message: ", 0), 0u) << run.Dump();
  EXPECT_EQ(run.vecLines.back(), "GetVersion -> \"1.0.0.28\"");
}

TEST_F(CliTest, WaitCountsOnlyWhatHappensDuringTheWait) {
  const SRun run = RunScript(
      "message WM_LOGIN_SUCCESS 2\n"
      "wait LoginSuccess 200\n"
      "wait msgbox 100\n"
      "ConnectToORV 127.0.0.1 $SIMPORT\n"
      "LoginToORV 2001 A100 1234 T1\n"
      "wait LoginSuccess\n"
      "DisconnectFromORV\n");
  ExpectTranscript(run, {
                            "event LoginSuccess 2",
                            "timeout LoginSuccess",
                            "timeout msgbox",
                            "ConnectToORV -> 1",
                            "LoginToORV -> 1",
                            "event LoginSuccess 2",
                            "DisconnectFromORV -> TRUE",
                        });
}

TEST_F(CliTest, LoginRefusalsShowTheirBoxes) {
  // The simulator's accounts decide the result: FAIL always answers 4, BUSY 5;
  // a wrong tenant gives 6 and an extension that is not the agent's 7.
  const SRun run = RunScript(
      "ConnectToORV 127.0.0.1 $SIMPORT\n"
      "LoginToORV 2001 NOBODY x T1\n"
      "wait msgbox\n"
      "LoginToORV 2001 FAIL x T1\n"
      "wait msgbox\n"
      "LoginToORV 2001 BUSY x T1\n"
      "wait msgbox\n"
      "LoginToORV 2001 A100 1234 T9\n"
      "wait msgbox\n"
      "LoginToORV 2999 A100 1234 T1\n"
      "wait msgbox\n"
      "DisconnectFromORV\n");
  ExpectTranscript(run, {
                            "ConnectToORV -> 1",
                            "LoginToORV -> 1",
                            "msgbox \"Tessor\" 0x00000030 \"존재하지 않는 아이디입니다.\"",
                            "LoginToORV -> 1",
                            "msgbox \"Tessor\" 0x00000030 \"알 수 없는 이유로 로그인이 실패하였습니다.\"",
                            "LoginToORV -> 1",
                            "msgbox \"Tessor\" 0x00000030 \"최대 동시 로그인 수를 초과하였습니다.\\n\\n관리자에게 "
                            "문의하시기바랍니다.\"",
                            "LoginToORV -> 1",
                            "msgbox \"Tessor\" 0x00000030 \"테넌트 이름이 잘못되었습니다.\\n\\n입력된 테넌트 이름을 "
                            "확인하시기 바랍니다.\"",
                            "LoginToORV -> 1",
                            "msgbox \"녹취에러\" 0x00000010 \"입력하신 내선번호는 녹취가 불가능 합니다.\\n\\n관리자에게 "
                            "반드시 확인 하십시요.\"",
                            "DisconnectFromORV -> TRUE",
                        });
}

TEST_F(CliTest, InteractiveBoxWaitsForEnterWhileTheHostGoesOn) {
  // While the box is open its receive thread reads nothing, so the answer
  // to the second login waits for the Enter; the host thread runs meanwhile.
  bool bSentEnter = false;
  const SRun run = RunCli({"--script",
                           WriteFile("script.tessor",
                                     "ConnectToORV 127.0.0.1 $SIMPORT\n"
                                     "LoginToORV 2001 A100 0000 T1\n"
                                     "wait msgbox\n"
                                     "LoginToORV 2001 A100 1234 T1\n"
                                     "wait LoginSuccess 1000\n"
                                     "GetVersion\n"
                                     "wait LoginSuccess\n"
                                     "DisconnectFromORV\n"),
                           "--sim", "0", "--interactive"},
                          m_strLogDir, "", [&](const std::string& line) {
                            if (line != "GetVersion -> \"1.0.0.28\"") return std::string();
                            bSentEnter = true;
                            return std::string("\n");
                          });
  EXPECT_TRUE(bSentEnter);
  ExpectTranscript(run, {
                            "ConnectToORV -> 1",
                            "LoginToORV -> 1",
                            "msgbox \"Tessor\" 0x00000030 \"비밀번호가 틀렸습니다.\"",
                            "LoginToORV -> 1",
                            "timeout LoginSuccess",
                            "GetVersion -> \"1.0.0.28\"",
                            "event LoginSuccess 2",
                            "DisconnectFromORV -> TRUE",
                        });
  EXPECT_NE(run.strErr.find("press Enter"), std::string::npos) << run.Dump();
}

TEST_F(CliTest, ReadsStandardInputUntilQuitOrItsEnd) {
  // CR LF lines, a comment, a blank line; nothing after quit runs.
  const std::string withQuit =
      WriteFile("quit.tessor", "GetVersion\r\n# comment\r\n\r\nget RType\r\nquit\r\nGetVersion\r\n");
  SRun run = Run({}, withQuit);
  ExpectTranscript(run, {"GetVersion -> \"1.0.0.28\"", "RType = 0"});

  // The last line needs no line feed; the end of input ends the program.
  const std::string noEol = WriteFile("noeol.tessor", "get AStatus\nGetVersion");
  run = Run({}, noEol);
  ExpectTranscript(run, {"AStatus = 0", "GetVersion -> \"1.0.0.28\""});

  // The same file through --script.
  run = Run({"--script", noEol});
  ExpectTranscript(run, {"AStatus = 0", "GetVersion -> \"1.0.0.28\""});
}

TEST_F(CliTest, SimulatorCommandsAndLog) {
  SRun run = RunScript("sim help\nsim links\nsim frob\nsim rectype 2001 1\n");
  ASSERT_EQ(run.vecLines.size(), 4u) << run.Dump();
  EXPECT_EQ(run.vecLines[0].rfind("sim: ok commands: ", 0), 0u) << run.Dump();
  EXPECT_EQ(run.vecLines[1], "sim: ok 0 links");
  EXPECT_EQ(run.vecLines[2], "sim: error: unknown command 'frob' (try help)");
  EXPECT_EQ(run.vecLines[3], "sim: error: no link logged in with extension 2001");

  // Without --sim there is no simulator to talk to.
  run = Run({"--script", WriteFile("nosim.tessor", "sim links\nConnectToORV 127.0.0.1 $SIMPORT\nGetVersion\n")});
  ExpectTranscript(run, {"error: sim: no simulator runs (start tessor-cli with --sim PORT)",
                         "error: $SIMPORT: no simulator runs (start tessor-cli with --sim PORT)",
                         "GetVersion -> \"1.0.0.28\""});

  // --sim-log prints the simulator's JSON lines, prefixed.
  run = Run({"--script", WriteFile("log.tessor", "ConnectToORV 127.0.0.1 $SIMPORT\nLoginToORV 2001 A100 1234 T1\n"
                                                 "wait LoginSuccess\nDisconnectFromORV\n"),
             "--sim", "0", "--sim-log"});
  EXPECT_EQ(run.nExit, 0) << run.Dump();
  const std::vector<std::string> simLines = WithPrefix(run.vecLines, "sim {");
  EXPECT_FALSE(simLines.empty()) << run.Dump();
  bool bLoginSeen = false;
  for (const std::string& l : simLines)
    if (l.find("\"dir\":\"in\"") != std::string::npos && l.find("C_LOGIN") != std::string::npos) bLoginSeen = true;
  EXPECT_TRUE(bLoginSeen) << run.Dump();
  std::vector<std::string> rest;
  for (const std::string& l : run.vecLines)
    if (l.rfind("sim {", 0) != 0) rest.push_back(l);
  EXPECT_EQ(Joined(rest), Joined({"ConnectToORV -> 1", "LoginToORV -> 1", "event LoginSuccess 2",
                                  "DisconnectFromORV -> TRUE"}));
}

TEST_F(CliTest, BadOptionsExitWithTheUsage) {
  struct SCase {
    std::vector<std::string> vecArgs;
    int nExit;
  };
  const SCase cases[] = {
      {{"--bogus"}, 2},
      {{"--script"}, 2},
      {{"--script", "/nonexistent/dir/x.tessor"}, 2},
      {{"--sim", "65536"}, 2},
      {{"--sim", "port"}, 2},
      {{"--sim-log"}, 2},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.vecArgs[0] + (c.vecArgs.size() > 1 ? " " + c.vecArgs[1] : ""));
    const SRun run = Run(c.vecArgs);
    EXPECT_EQ(run.nExit, c.nExit) << run.Dump();
    EXPECT_TRUE(run.strOut.empty()) << run.Dump();
    EXPECT_NE(run.strErr.find("tessor-cli: "), std::string::npos) << run.Dump();
  }
  const SRun help = Run({"--help"});
  EXPECT_EQ(help.nExit, 0);
  for (const char* word : {"usage: tessor-cli", "--sim-log", "sim COMMAND", "$SIMPORT", "$CALLID", "wait msgbox"})
    EXPECT_NE(help.strOut.find(word), std::string::npos) << word;
}

}  // namespace
