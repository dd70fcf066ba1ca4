// Soak: the server drops and restores both links many times; afterwards
// the process holds what it held before (descriptors, threads, memory),
// every reconnection logged the agent in again, and the log is whole.
//
// TESSOR_SOAK_CYCLES sets the number of cycles (default 5, which CI runs;
// each reconnection waits for the library's 5 s timer). The long run:
//   TESSOR_SOAK_CYCLES=200 build/<dir>/tests/soak/soak_tests
#include <dirent.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <iostream>
#include <regex>

#include "tests/faults/Harness.h"

namespace tessor::faults {
namespace {

int CountEntries(const char* dir) {
  DIR* d = ::opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n - (::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // the one opendir holds
}

int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
int Threads() { return CountEntries("/proc/self/task"); }

long ResidentKb() {
  FILE* f = ::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long pages = 0, resident = 0;
  const int got = ::fscanf(f, "%ld %ld", &pages, &resident);
  ::fclose(f);
  return got == 2 ? resident * (::sysconf(_SC_PAGESIZE) / 1024) : -1;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Under the sanitizers the resident set mostly shows the allocator's
// quarantine of freed blocks and the shadow memory, so it is reported but
// not compared; the bytes still allocated say whether anything leaked.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
long HeapInUseKb() { return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024); }
constexpr bool kCompareRss = false;
#else
long HeapInUseKb() { return static_cast<long>(::mallinfo2().uordblks / 1024); }
constexpr bool kCompareRss = true;
#endif
constexpr long kRssToleranceKb = 4 * 1024;
constexpr long kHeapToleranceKb = 1024;

int Cycles() {
  const char* env = ::getenv("TESSOR_SOAK_CYCLES");
  const int n = env != nullptr ? ::atoi(env) : 0;
  return n > 0 ? n : 5;
}

class SoakTest : public ControlFixture {
 protected:
  // Waits for the two reconnections of a cycle: two new connections, each
  // beginning with the login, which the server accepts.
  void ExpectBothBack(int conns) {
    ASSERT_TRUE(Pump([&] { return m_server.AcceptedCount() >= conns; }, kReconnectWaitMs + 10000))
        << m_server.AcceptedCount() << " of " << conns << " connections";
    for (int c = conns - 2; c < conns; ++c) {
      ASSERT_TRUE(Pump([&] { return !m_server.Packets(c).empty(); }));
      ASSERT_EQ(Code(m_server.Packets(c)[0]), C_LOGIN) << "connection " << c;
      ASSERT_TRUE(m_server.Send(LoginResult(3, 1), c));
    }
    m_nLogins += 2;
    ASSERT_TRUE(Pump([&] { return m_sink.Count("LoginSuccess 1") == m_nLogins; }));
  }
  // Drops both links one way or another, as a cycle's number says.
  void Drop(int cycle, int conns) {
    const int lost = m_sink.Count("Disconnected 2");
    switch (cycle % 3) {
      case 0:
        m_server.Close(conns - 2);
        m_server.Close(conns - 1);
        break;
      case 1:
        m_server.Reset(conns - 2);
        m_server.Reset(conns - 1);
        break;
      default: {
        // The server is away for one reconnection attempt of each link.
        const int failed = CountLines("QuickConnect - socket Connect fail");
        m_server.StopListening();
        m_server.Close(conns - 2);
        m_server.Close(conns - 1);
        ASSERT_TRUE(
            Pump([&] { return CountLines("QuickConnect - socket Connect fail") >= failed + 2; }, kReconnectWaitMs));
        ASSERT_TRUE(m_server.ListenAgain());
        break;
      }
    }
    ASSERT_TRUE(Pump([&] { return m_sink.Count("Disconnected 2") == lost + 2; }));
  }

  CTestPeer m_server;  // main and sub: one port serves both reconnections
  int m_nLogins = 0;
};

TEST_F(SoakTest, LinksDroppedAndRestoredManyTimesLeaveNothingBehind) {
  const int cycles = Cycles();
  ASSERT_TRUE(m_server.Listen());
  ASSERT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(m_server.Port())), 1);
  ASSERT_EQ(Ctrl().LoginToORV("2001", "A100", "secret", "T1"), 1);
  ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", I2(m_server.Port())), 1);  // logs in at once
  ExpectBothBack(2);
  // One cycle first, so that what the first reconnection allocates once
  // (timers, the thread registry, the allocator's arenas) is in the baseline.
  int conns = 2;
  Drop(0, conns);
  conns += 2;
  ExpectBothBack(conns);
  const int fds0 = OpenDescriptors(), threads0 = Threads();
  const long rss0 = ResidentKb(), heap0 = HeapInUseKb();
  const uint64_t start = Now();

  for (int i = 1; i <= cycles; ++i) {
    SCOPED_TRACE("cycle " + std::to_string(i));
    Drop(i, conns);
    conns += 2;
    ExpectBothBack(conns);
    if (HasFatalFailure()) return;
  }
  const uint64_t took = Now() - start;

  // Threads of the dropped links end shortly after their loss.
  EXPECT_TRUE(WaitUntil([&] { return Threads() == threads0; }, kDeadlineMs)) << Threads() << " vs " << threads0;
  EXPECT_EQ(OpenDescriptors(), fds0);
  const long rss1 = ResidentKb(), heap1 = HeapInUseKb();
  if (kCompareRss) {
    EXPECT_LE(rss1, rss0 + kRssToleranceKb) << "resident set grew from " << rss0 << " to " << rss1 << " kB";
  }
  EXPECT_LE(heap1, heap0 + kHeapToleranceKb) << "heap in use grew from " << heap0 << " to " << heap1 << " kB";

  // Every reconnection logged the agent in again, on the wire and in the log.
  const int expectedLogins = 2 * (cycles + 2);
  int wireLogins = 0;
  for (int c = 0; c < conns; ++c) wireLogins += CountCode(m_server.Packets(c), C_LOGIN);
  EXPECT_EQ(wireLogins, expectedLogins);
  EXPECT_EQ(CountLines("TENANT(T1), AID(A100), DN(2001) login packet send success"), expectedLogins);
  EXPECT_EQ(m_sink.Count("Disconnected 2"), 2 * (cycles + 1));

  // Every line whole: the time stamp, the message, CR LF.
  const std::string raw = m_log.Raw();
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
  const std::regex kLine(R"(\[\d\d/\d\d-\d\d:\d\d:\d\d\.\d\d\d\] [^\r\n]*)");
  size_t pos = 0, lines = 0;
  while (pos < raw.size()) {
    size_t end = raw.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos) << "a line without CR LF at byte " << pos;
    const std::string line = raw.substr(pos, end - pos);
    ASSERT_TRUE(std::regex_match(line, kLine)) << "line " << lines << ": " << line;
    pos = end + 2;
    ++lines;
  }

  std::cout << "soak: " << cycles << " cycles in " << took / 1000.0 << " s; descriptors " << fds0 << " -> "
            << OpenDescriptors() << ", threads " << threads0 << " -> " << Threads() << ", resident " << rss0 << " -> "
            << rss1 << " kB, heap in use " << heap0 << " -> " << heap1 << " kB; " << wireLogins
            << " logins on the wire, " << lines << " log lines" << std::endl;
}

}  // namespace
}  // namespace tessor::faults
