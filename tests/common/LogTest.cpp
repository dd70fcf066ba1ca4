#include "common/Log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <thread>

#include "platform/Clock.h"
#include "tests/support/LogDir.h"

namespace tessor {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetClockForTest({}); }
  static void FixClock(int month, int day, int h, int m, int s, int ms) {
    platform::SetClockForTest([=] { return platform::SLocalTime{2024, month, day, h, m, s, ms}; });
  }
  CLogDir m_log;
};

TEST_F(LogTest, LineCarriesTheTimeOfOneClockReadingAndEndsInCrLf) {
  FixClock(3, 5, 14, 7, 9, 42);
  WriteLog("ConnectToORV : SERVER(%s), PORT(%d)", "10.0.0.1", 5100);
  EXPECT_EQ(m_log.Raw(), "[03/05-14:07:09.042] ConnectToORV : SERVER(10.0.0.1), PORT(5100)\r\n");
  EXPECT_EQ(CurrentLogPath(), m_log.Dir() + "/RECClient-0305.log");
}

TEST_F(LogTest, OneFileADayWithoutTheYear) {
  FixClock(12, 31, 23, 59, 59, 999);
  WriteLog("last");
  FixClock(1, 1, 0, 0, 0, 0);
  WriteLog("first");
  std::ifstream dec31(m_log.Dir() + "/RECClient-1231.log", std::ios::binary);
  std::ifstream jan1(m_log.Dir() + "/RECClient-0101.log", std::ios::binary);
  std::string a((std::istreambuf_iterator<char>(dec31)), {}), b((std::istreambuf_iterator<char>(jan1)), {});
  EXPECT_EQ(a, "[12/31-23:59:59.999] last\r\n");
  EXPECT_EQ(b, "[01/01-00:00:00.000] first\r\n");
}

TEST_F(LogTest, LineFeedsInsideAMessageBecomeCrLf) {
  FixClock(3, 5, 1, 2, 3, 4);
  WriteLog("%s", "a\nb\n");
  EXPECT_EQ(m_log.Raw(), "[03/05-01:02:03.004] a\r\nb\r\n\r\n");
}

TEST_F(LogTest, ALongMessageIsCutNotDropped) {
  const std::string big(10000, 'x');
  WriteLog("%s", big.c_str());
  const std::string raw = m_log.Raw();
  ASSERT_FALSE(raw.empty());
  EXPECT_LE(raw.size(), 4095u + 2);
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
}

TEST_F(LogTest, PercentInAnArgumentIsNeverFormatted) {
  WriteLog("%s", "%s%n%d");
  EXPECT_EQ(m_log.Messages().front(), "%s%n%d");
}

TEST_F(LogTest, ThreeThreadsWriteOnlyWholeLines) {
  constexpr int kLines = 2000;
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) WriteLog("thread %d line %d payload %s", t, i, "0123456789abcdef");
    });
  for (auto& w : writers) w.join();
  const auto lines = m_log.Messages();
  ASSERT_EQ(lines.size(), 3u * kLines);
  const std::regex whole(R"(thread [0-2] line [0-9]+ payload 0123456789abcdef)");
  int next[3] = {0, 0, 0};
  for (const auto& line : lines) {
    ASSERT_TRUE(std::regex_match(line, whole)) << line;
    int t = line[7] - '0';
    EXPECT_EQ(std::stoi(line.substr(14)), next[t]++);  // each thread's lines in order
  }
  // Every line, time stamp included, is whole.
  const std::string raw = m_log.Raw();
  const std::regex stamped(R"(\[\d\d/\d\d-\d\d:\d\d:\d\d\.\d\d\d\] thread)");
  size_t pos = 0, count = 0;
  while (pos < raw.size()) {
    size_t end = raw.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    ASSERT_TRUE(std::regex_search(raw.substr(pos, 30), stamped));
    pos = end + 2;
    ++count;
  }
  EXPECT_EQ(count, 3u * kLines);
}

TEST_F(LogTest, FolderAndFileArePrivate) {
  WriteLog("x");
  struct stat st;
  ASSERT_EQ(::stat(m_log.Dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(CurrentLogPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogTest, UnwritableFolderDropsLinesSilently) {
  // A plain file where the folder should be: creation fails, nothing throws.
  { std::ofstream(m_log.Dir()) << "not a folder"; }
  WriteLog("dropped");
  std::ifstream in(m_log.Dir());
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "not a folder");
}

TEST_F(LogTest, SymbolicLinksAreNotWrittenThrough) {
  const std::string elsewhere = m_log.Parent() + "/elsewhere";
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  // The folder itself a link.
  ASSERT_EQ(::symlink(elsewhere.c_str(), m_log.Dir().c_str()), 0);
  WriteLog("through a folder link");
  struct stat st;
  EXPECT_NE(::stat((elsewhere + "/RECClient-" + CurrentLogPath().substr(CurrentLogPath().size() - 8)).c_str(), &st),
            0);
  // The file a link.
  ASSERT_EQ(::unlink(m_log.Dir().c_str()), 0);
  ASSERT_EQ(::mkdir(m_log.Dir().c_str(), 0700), 0);
  const std::string target = elsewhere + "/target";
  { std::ofstream(target) << ""; }
  ASSERT_EQ(::symlink(target.c_str(), CurrentLogPath().c_str()), 0);
  WriteLog("through a file link");
  std::ifstream in(target);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "");
}

}  // namespace
}  // namespace tessor
