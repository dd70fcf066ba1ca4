#include "common/Texts.h"

#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace tessor {
namespace {

TEST(Texts, EveryEntryIsItsReadableTextInCp949) {
  for (int i = 0; i < TEXT_COUNT; ++i) {
    SCOPED_TRACE(g_texts[i].szUtf8);
    EXPECT_EQ(g_texts[i].id, i);
    EXPECT_EQ(std::string(g_texts[i].szCp949), platform::Utf8ToCp949(g_texts[i].szUtf8));
  }
}

TEST(Texts, FormatsUseOnlyTheArgumentsTheyDeclare) {
  for (int i = 0; i < TEXT_COUNT; ++i) {
    const std::string t = g_texts[i].szUtf8;
    size_t percents = 0;
    for (size_t p = t.find('%'); p != std::string::npos; p = t.find('%', p + 1)) ++percents;
    const size_t expected = g_texts[i].args == TEXT_ARGS_NONE ? 0 : g_texts[i].args == TEXT_ARGS_INT ? 1 : 2;
    EXPECT_EQ(percents, expected) << g_texts[i].szUtf8;
  }
  EXPECT_EQ(platform::Cp949ToUtf8(FormatText(TEXT_REFUSE_EXTNO, 24)), "입력하신 내선번호 자리수가 24 보다 큽니다.");
  EXPECT_EQ(platform::Cp949ToUtf8(FormatText(TEXT_LOGOUT_ALARM, "A100", "2001")),
            "A100 상담원이 내선번호 2001로 로그인해서 자동 로그아웃 됩니다. 반드시 상담원 Application을 재시작 해야 "
            "합니다.");
  // A text used with the wrong kind of arguments is returned unformatted.
  EXPECT_EQ(FormatText(TEXT_NO_LINK, 5), GetText(TEXT_NO_LINK));
  EXPECT_EQ(FormatText(TEXT_REFUSE_EXTNO, "%s", "%n"), GetText(TEXT_REFUSE_EXTNO));
}

}  // namespace
}  // namespace tessor
