#include "platform/CodePage.h"

#include <gtest/gtest.h>

namespace tessor::platform {
namespace {

TEST(CodePage, KoreanTakesTwoBytesEach) {
  EXPECT_EQ(Utf8ToCp949("내선번호").size(), 8u);
  EXPECT_EQ(Utf8ToCp949("가나다라마바사아자차카타").size(), 24u);  // 12 characters
  EXPECT_EQ(Utf8ToCp949("가"), std::string("\xB0\xA1"));
}

TEST(CodePage, RoundTripsThroughCp949) {
  const std::string text = "상담원 A100, 내선 2001 (녹취)";
  EXPECT_EQ(Cp949ToUtf8(Utf8ToCp949(text)), text);
  EXPECT_EQ(Cp949ToUtf16(Utf8ToCp949(text)), Utf8ToUtf16(text));
}

TEST(CodePage, WhatCp949LacksOrInvalidInputBecomesQuestionMark) {
  struct {
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      {"emoji outside CP949", "a\xF0\x9F\x98\x80" "b", "a?b"},
      {"stray continuation byte", "a\x80" "b", "a?b"},
      {"truncated sequence at end", "ab\xE2\x82", "ab??"},
      {"overlong encoding", "\xC0\xAF", "??"},
      {"UTF-16 surrogate encoded in UTF-8", "\xED\xA0\x80", "???"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToCp949(c.in), c.out);
  }
}

TEST(CodePage, Utf16BoundaryHandlesSurrogatesAndUnpairedHalves) {
  std::u16string s = u"가";
  s += static_cast<char16_t>(0xD83D);  // an emoji as a pair
  s += static_cast<char16_t>(0xDE00);
  s += static_cast<char16_t>(0xDC00);  // unpaired low half
  s += u"x";
  EXPECT_EQ(Utf16ToCp949(s), std::string("\xB0\xA1??x"));
}

TEST(CodePage, InvalidCp949BytesBecomeQuestionMark) {
  EXPECT_EQ(Cp949ToUtf8(std::string("a\xFF", 2)), "a?");
  EXPECT_EQ(Cp949ToUtf8(std::string("\xB0", 1)), "?");  // a lead byte cut off
}

}  // namespace
}  // namespace tessor::platform
