// Load and unload of libtessor.so: the run flag's end line, and no thread
// of the library left when its code goes away. The library is loaded with
// dlopen, never linked, so that this process can watch it come and go;
// process ends with links still connected run in a helper process.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tessor/tessor.h"
#include "tests/module/ModuleTestSupport.h"
#include "tests/support/Wait.h"

extern char** environ;

#if defined(__SANITIZE_ADDRESS__)
// After dlclose the library's never-freed singletons lose their roots.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() { return 1; }
#endif

namespace tessor::moduletest {
namespace {

constexpr int WAIT_MS = 10000;
const char* const END_LINE = "ExitInstance - g_bRun set false";

// A helper process with its standard output read line by line.
class CChild {
 public:
  CChild(const std::string& mode, uint16_t port) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    ::posix_spawn_file_actions_init(&fa);
    ::posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    const std::string portText = std::to_string(port);
    const char* argv[] = {TESSOR_HELPER_PATH, TESSOR_LIBRARY_PATH, mode.c_str(), portText.c_str(), nullptr};
    if (::posix_spawn(&m_pid, TESSOR_HELPER_PATH, &fa, nullptr, const_cast<char**>(argv), environ) != 0) m_pid = -1;
    ::posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    m_hOut = out[0];
  }
  ~CChild() {
    if (m_pid > 0 && !m_bReaped) {
      ::kill(m_pid, SIGKILL);
      int st;
      ::waitpid(m_pid, &st, 0);
    }
    if (m_hOut >= 0) ::close(m_hOut);
  }
  bool Started() const { return m_pid > 0; }

  // Waits for a whole line equal to want; false at the deadline or EOF.
  bool WaitLine(const std::string& want, int ms = WAIT_MS) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      size_t nl;
      while ((nl = m_buf.find('\n')) != std::string::npos) {
        const std::string line = m_buf.substr(0, nl);
        m_buf.erase(0, nl + 1);
        m_lines.push_back(line);
        if (line == want) return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{m_hOut, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[256];
      const ssize_t n = ::read(m_hOut, chunk, sizeof(chunk));
      if (n <= 0) return false;
      m_buf.append(chunk, static_cast<size_t>(n));
    }
  }
  // Waits for the exit; answers the exit status, or -1 (killed / deadline).
  int WaitExit(int ms = WAIT_MS) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int st = 0;
      const pid_t r = ::waitpid(m_pid, &st, WNOHANG);
      if (r == m_pid) {
        m_bReaped = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // Everything it printed so far, for failure messages.
  std::string Output() {
    for (;;) {
      pollfd p{m_hOut, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) break;
      char chunk[256];
      const ssize_t n = ::read(m_hOut, chunk, sizeof(chunk));
      if (n <= 0) break;
      m_buf.append(chunk, static_cast<size_t>(n));
    }
    std::string all;
    for (const auto& l : m_lines) all += l + "\n";
    return all + m_buf;
  }

 private:
  pid_t m_pid = -1;
  int m_hOut = -1;
  bool m_bReaped = false;
  std::string m_buf;
  std::vector<std::string> m_lines;
};

template <typename T>
T Sym(void* lib, const char* name) {
  return reinterpret_cast<T>(::dlsym(lib, name));
}

TEST(ModuleLoad, UnloadAfterDestroyWritesTheEndLineAndLeavesNoThread) {
  const std::string logDir = FreshLogDir();
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  const int before = ThreadCount();

  void* lib = ::dlopen(TESSOR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  auto create = Sym<decltype(&tessor_create)>(lib, "tessor_create");
  auto activate = Sym<decltype(&tessor_activate)>(lib, "tessor_activate");
  auto invoke = Sym<decltype(&tessor_invoke)>(lib, "tessor_invoke");
  auto destroy = Sym<decltype(&tessor_destroy)>(lib, "tessor_destroy");
  ASSERT_TRUE(create && activate && invoke && destroy);

  // The library's host thread is a thread of its own, which ends before the
  // unload: this thread never runs the library's code.
  bool ok = false;
  std::thread host([&] {
    tessor_control* ctl = nullptr;
    ASSERT_EQ(create(TESSOR_PROGID_CONTROL, &ctl), TESSOR_OK);
    ASSERT_EQ(activate(ctl), TESSOR_OK);
    tessor_value r{};
    const tessor_value args[2] = {{TESSOR_TEXT, 0, "127.0.0.1"},
                                  {TESSOR_I2, static_cast<int16_t>(peer.Port()), nullptr}};
    ASSERT_EQ(invoke(ctl, "ConnectToORV", args, 2, &r), TESSOR_OK);
    ASSERT_EQ(r.i, 1);
    ASSERT_TRUE(peer.WaitAccepted(1, WAIT_MS));
    ASSERT_EQ(destroy(ctl), TESSOR_OK);
    ok = true;
  });
  host.join();
  ASSERT_TRUE(ok);
  EXPECT_TRUE(peer.WaitPeerClosed(WAIT_MS));
  // Every thread the library started has ended (the host thread too).
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == before; }, WAIT_MS)) << ThreadCount() << " vs " << before;
  EXPECT_FALSE(LogHas(logDir, END_LINE)) << "not before the unload";

  ASSERT_EQ(::dlclose(lib), 0);
  EXPECT_EQ(::dlopen(TESSOR_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library was unloaded";
  EXPECT_TRUE(LogHas(logDir, END_LINE));
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == before; }, WAIT_MS)) << ThreadCount() << " vs " << before;
  peer.Stop();
}

TEST(ModuleLoad, LoadingAgainStartsAFreshModule) {
  const std::string logDir = FreshLogDir();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    void* lib = ::dlopen(TESSOR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << ::dlerror();
    auto version = Sym<decltype(&tessor_version)>(lib, "tessor_version");
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version(), "1.0.0.28");
    ASSERT_EQ(::dlclose(lib), 0);
    EXPECT_EQ(::dlopen(TESSOR_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr);
  }
  int ends = 0;
  for (const auto& m : LogMessages(logDir))
    if (m == END_LINE) ++ends;
  EXPECT_EQ(ends, 2) << "one end line per unload";
}

// Process ends and unloads with links still connected, watched from outside.
class ModuleEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    m_strLogDir = FreshLogDir();  // inherited by the helper
    ASSERT_TRUE(m_peer.Listen());
  }
  void TearDown() override { m_peer.Stop(); }
  // The helper's login arrived.
  void ExpectLogin() {
    EXPECT_TRUE(WaitUntil([&] { return !PacketsWithCode(m_peer, CODE_LOGIN).empty(); }, WAIT_MS));
  }
  std::string m_strLogDir;
  CTestPeer m_peer;
};

TEST_F(ModuleEnd, ExitWithLinksConnected) {
  CChild child("exit", m_peer.Port());
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitLine("connected")) << child.Output();
  ExpectLogin();
  EXPECT_EQ(child.WaitExit(), 0) << child.Output();
  EXPECT_NE(child.Output().find("threads-ok"), std::string::npos) << child.Output();
  EXPECT_TRUE(LogHas(m_strLogDir, END_LINE));
  EXPECT_TRUE(m_peer.WaitPeerClosed(WAIT_MS));
}

TEST_F(ModuleEnd, ExitWhileAReceiveThreadWaitsOnTheHostThread) {
  CChild child("exit-pending", m_peer.Port());
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitLine("connected")) << child.Output();
  ExpectLogin();
  // The login result makes the receive thread send to the host thread,
  // which never dispatches it; the process end must release it.
  ASSERT_TRUE(m_peer.Send(LoginResultPacket(3, 2)));
  ASSERT_TRUE(child.WaitLine("pending")) << child.Output();
  EXPECT_EQ(child.WaitExit(), 0) << child.Output();
  EXPECT_NE(child.Output().find("threads-ok"), std::string::npos) << child.Output();
  EXPECT_TRUE(LogHas(m_strLogDir, END_LINE));
}

TEST_F(ModuleEnd, ExitWithABoxOpenIsBounded) {
  CChild child("exit-box", m_peer.Port());
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitLine("connected")) << child.Output();
  ExpectLogin();
  ASSERT_TRUE(m_peer.Send(LoginResultPacket(0, 0)));  // "no such id": a box
  ASSERT_TRUE(child.WaitLine("box-open")) << child.Output();
  // The module end gives up on the thread held by the box after its bound.
  EXPECT_EQ(child.WaitExit(20000), 0) << child.Output();
  EXPECT_TRUE(LogHas(m_strLogDir, END_LINE));
}

TEST_F(ModuleEnd, DlcloseWithLinksConnectedKeepsTheLibraryUntilExit) {
  CChild child("dlclose", m_peer.Port());
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitLine("connected")) << child.Output();
  ExpectLogin();
  ASSERT_TRUE(m_peer.Send(LoginResultPacket(3, 2)));
  // Its receive thread still runs, so the system keeps the code loaded.
  ASSERT_TRUE(child.WaitLine("still-loaded")) << child.Output();
  EXPECT_EQ(child.WaitExit(), 0) << child.Output();
  EXPECT_NE(child.Output().find("threads-ok"), std::string::npos) << child.Output();
  EXPECT_TRUE(LogHas(m_strLogDir, END_LINE));
  EXPECT_TRUE(m_peer.WaitPeerClosed(WAIT_MS));
}

}  // namespace
}  // namespace tessor::moduletest
