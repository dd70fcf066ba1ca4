#include "common/LastLogin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tessor {
namespace {

TEST(LastLogin, KeepsWholeTextsAndReadsNeverSeeAMix) {
  LastLogin().ResetForTest();
  const std::string longPwd(40, 'p');
  LastLogin().Store("2001", "A100", longPwd.c_str(), "T1");
  EXPECT_EQ(LastLogin().Snapshot().strPWD, longPwd);

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      if (i % 2)
        LastLogin().Store("1111", "AAAA", "pppp", "TTTT");
      else
        LastLogin().Store("2222", "BBBB", "qqqq", "UUUU");
    }
  });
  for (int i = 0; i < 20000; ++i) {
    const SLastLogin s = LastLogin().Snapshot();
    const bool first = s.strDN == "1111" && s.strAID == "AAAA" && s.strTENANT == "TTTT";
    const bool second = s.strDN == "2222" && s.strAID == "BBBB" && s.strTENANT == "UUUU";
    const bool initial = s.strDN == "2001";
    ASSERT_TRUE(first || second || initial);
  }
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace tessor
