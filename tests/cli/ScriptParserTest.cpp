// The tokenizer of tessor-cli, driven with bytes alone.
#include "tools/cli/ScriptParser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tessor::cli {
namespace {

struct STok {
  std::string strText;
  bool bQuoted;
  bool bNull;
};

bool operator==(const SToken& a, const STok& b) {
  return a.strText == b.strText && a.bQuoted == b.bQuoted && a.bNull == b.bNull;
}

STok W(std::string s) { return {std::move(s), false, false}; }
STok Q(std::string s) { return {std::move(s), true, false}; }
STok NUL() { return {"null", false, true}; }

std::string Show(const std::vector<SToken>& tokens) {
  std::string s;
  for (const SToken& t : tokens) s += (t.bQuoted ? QuoteText(t.strText) : "<" + t.strText + ">") + " ";
  return s;
}

struct SLineCase {
  const char* szName;
  std::string strLine;
  std::vector<STok> vecTokens;
};

TEST(ScriptParserTest, SplitsLinesIntoTokens) {
  const SLineCase cases[] = {
      {"one word", "quit", {W("quit")}},
      {"blanks and tabs", " \t GetVersion\t \t", {W("GetVersion")}},
      {"several words", "ConnectToORV 127.0.0.1 5100", {W("ConnectToORV"), W("127.0.0.1"), W("5100")}},
      {"quoted text", "set CallID \"a b\"", {W("set"), W("CallID"), Q("a b")}},
      {"empty text", "x \"\" y", {W("x"), Q(""), W("y")}},
      {"escapes", R"(x "q\" b\\ n\n t\t")", {W("x"), Q("q\" b\\ n\n t\t")}},
      {"null word", "LoginToORV null \"null\" nullx", {W("LoginToORV"), NUL(), Q("null"), W("nullx")}},
      {"Korean text", "x \"상담원 홍길동\" 내선", {W("x"), Q("상담원 홍길동"), W("내선")}},
      {"hash inside a line is text", "x #1 \"#2\"", {W("x"), W("#1"), Q("#2")}},
      {"backslash in a bare word is literal", R"(x a\n)", {W("x"), W("a\\n")}},
      {"carriage return of a CR LF file", "pump 10\r", {W("pump"), W("10")}},
      {"quoted blanks kept", "x \"  \"", {W("x"), Q("  ")}},
      {"dollar words", "ConnectToORV 127.0.0.1 $SIMPORT", {W("ConnectToORV"), W("127.0.0.1"), W("$SIMPORT")}},
  };
  for (const SLineCase& c : cases) {
    SCOPED_TRACE(c.szName);
    const SParsedLine p = ParseScriptLine(c.strLine);
    ASSERT_EQ(p.eStatus, EParseStatus::kOk) << DescribeParseError(p);
    ASSERT_EQ(p.vecTokens.size(), c.vecTokens.size()) << Show(p.vecTokens);
    for (size_t i = 0; i < c.vecTokens.size(); ++i) EXPECT_TRUE(p.vecTokens[i] == c.vecTokens[i]) << Show(p.vecTokens);
  }
}

TEST(ScriptParserTest, SkipsBlankLinesAndComments) {
  // A comment never runs: neither its quotes nor its bytes are checked.
  for (const char* line : {"", "   ", "\t", "# a comment", "   # indented \"unterminated", "\r", "#\xff\xfe"}) {
    SCOPED_TRACE(line);
    const SParsedLine p = ParseScriptLine(line);
    EXPECT_EQ(p.eStatus, EParseStatus::kBlank);
    EXPECT_TRUE(p.vecTokens.empty());
  }
}

struct SErrorCase {
  const char* szName;
  std::string strLine;
  EParseStatus eStatus;
  size_t nOffset;
};

TEST(ScriptParserTest, RefusesUnreadableLinesWithTheOffendingByte) {
  const SErrorCase cases[] = {
      {"unterminated quote", "set CallID \"abc", EParseStatus::kUnterminatedQuote, 11},
      {"quote closed by an escape", R"(x "abc\")", EParseStatus::kUnterminatedQuote, 2},
      {"backslash at the end", "x \"abc\\", EParseStatus::kUnterminatedQuote, 2},
      {"unknown escape", R"(x "a\r")", EParseStatus::kUnknownEscape, 4},
      {"quote inside a word", "x ab\"c\"", EParseStatus::kQuoteInWord, 4},
      {"word joined to a quote", "x \"ab\"c", EParseStatus::kJoinedToQuote, 6},
      {"two quotes joined", "x \"a\"\"b\"", EParseStatus::kJoinedToQuote, 5},
      {"stray continuation byte", "x \x80", EParseStatus::kInvalidUtf8, 2},
      {"invalid byte in quotes", "x \"a\xff\"", EParseStatus::kInvalidUtf8, 4},
      {"truncated sequence", "x \xed\x95", EParseStatus::kInvalidUtf8, 2},
      {"overlong slash", "x \xc0\xaf", EParseStatus::kInvalidUtf8, 2},
      {"overlong three bytes", "x \xe0\x80\xaf", EParseStatus::kInvalidUtf8, 2},
      {"surrogate", "x \xed\xa0\x80", EParseStatus::kInvalidUtf8, 2},
      {"above U+10FFFF", "x \xf4\x90\x80\x80", EParseStatus::kInvalidUtf8, 2},
      {"five-byte lead", "x \xf8\x88\x80\x80\x80", EParseStatus::kInvalidUtf8, 2},
      {"CP949 bytes instead of UTF-8", "x \xc7\xd1", EParseStatus::kInvalidUtf8, 2},
      {"NUL byte", std::string("x a\0b", 5), EParseStatus::kNulByte, 3},
  };
  for (const SErrorCase& c : cases) {
    SCOPED_TRACE(c.szName);
    const SParsedLine p = ParseScriptLine(c.strLine);
    EXPECT_EQ(p.eStatus, c.eStatus) << DescribeParseError(p);
    EXPECT_EQ(p.nErrorOffset, c.nOffset);
    EXPECT_TRUE(p.vecTokens.empty());
    EXPECT_NE(DescribeParseError(p).find("at byte " + std::to_string(c.nOffset + 1)), std::string::npos)
        << DescribeParseError(p);
  }
}

TEST(ScriptParserTest, AcceptsEveryWellFormedUtf8Length) {
  for (const char* text : {"a", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                           "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "한국어"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(IsValidUtf8(text));
  }
}

TEST(ScriptParserTest, TokenLimitLeavesTheRestUntouched) {
  // How `sim` lines are read: the first word, then the raw rest.
  SParsedLine p = ParseScriptLine("sim  alarm 2001 \"A100 x", 1);
  ASSERT_EQ(p.eStatus, EParseStatus::kOk);
  ASSERT_EQ(p.vecTokens.size(), 1u);
  EXPECT_EQ(p.vecTokens[0].strText, "sim");
  EXPECT_EQ(p.strRest, "alarm 2001 \"A100 x");

  p = ParseScriptLine("sim", 1);
  ASSERT_EQ(p.eStatus, EParseStatus::kOk);
  EXPECT_EQ(p.strRest, "");

  // The rest is still checked for UTF-8.
  p = ParseScriptLine("sim status \xff", 1);
  EXPECT_EQ(p.eStatus, EParseStatus::kInvalidUtf8);

  // Without a limit the same line is refused.
  p = ParseScriptLine("sim alarm 2001 \"A100 x");
  EXPECT_EQ(p.eStatus, EParseStatus::kUnterminatedQuote);
}

struct SIntCase {
  const char* szText;
  int64_t nMin, nMax;
  bool bHex;
  EIntStatus eStatus;
  int64_t nValue;
};

TEST(ScriptParserTest, ReadsIntegersWithinTheirRange) {
  const SIntCase cases[] = {
      {"0", -32768, 32767, false, EIntStatus::kOk, 0},
      {"32767", -32768, 32767, false, EIntStatus::kOk, 32767},
      {"-32768", -32768, 32767, false, EIntStatus::kOk, -32768},
      {"+12", -32768, 32767, false, EIntStatus::kOk, 12},
      {"007", -32768, 32767, false, EIntStatus::kOk, 7},
      {"32768", -32768, 32767, false, EIntStatus::kOutOfRange, 0},
      {"-32769", -32768, 32767, false, EIntStatus::kOutOfRange, 0},
      {"99999999999999999999999", -32768, 32767, false, EIntStatus::kOutOfRange, 0},
      {"", -32768, 32767, false, EIntStatus::kNotANumber, 0},
      {"-", -32768, 32767, false, EIntStatus::kNotANumber, 0},
      {"12a", -32768, 32767, false, EIntStatus::kNotANumber, 0},
      {"1.5", -32768, 32767, false, EIntStatus::kNotANumber, 0},
      {" 1", -32768, 32767, false, EIntStatus::kNotANumber, 0},
      {"0x10", -32768, 32767, false, EIntStatus::kNotANumber, 0},
      {"0x469", 0, 0xFFFFFFFF, true, EIntStatus::kOk, 0x469},
      {"0XfFfF", 0, 0xFFFFFFFF, true, EIntStatus::kOk, 0xFFFF},
      {"1129", 0, 0xFFFFFFFF, true, EIntStatus::kOk, 1129},
      {"0x", 0, 0xFFFFFFFF, true, EIntStatus::kNotANumber, 0},
      {"0x1g", 0, 0xFFFFFFFF, true, EIntStatus::kNotANumber, 0},
      {"0x100000000", 0, 0xFFFFFFFF, true, EIntStatus::kOutOfRange, 0},
      {"-1", 0, 65535, false, EIntStatus::kOutOfRange, 0},
  };
  for (const SIntCase& c : cases) {
    SCOPED_TRACE(c.szText);
    int64_t v = -999;
    EXPECT_EQ(ParseInteger(c.szText, c.nMin, c.nMax, c.bHex, &v), c.eStatus);
    if (c.eStatus == EIntStatus::kOk) {
      EXPECT_EQ(v, c.nValue);
    }
  }
}

TEST(ScriptParserTest, QuotedOutputReadsBackAsTheSameText) {
  EXPECT_EQ(QuoteText("a\"b\\c\nd\te"), R"("a\"b\\c\nd\te")");
  EXPECT_EQ(QuoteText(""), "\"\"");
  for (const std::string& text : {std::string(""), std::string("null"), std::string("\"\""), std::string("\\n"),
                                 std::string("  two  blanks "), std::string("줄\n바꿈\t탭"), std::string("#")}) {
    SCOPED_TRACE(text);
    const SParsedLine p = ParseScriptLine("x " + QuoteText(text));
    ASSERT_EQ(p.eStatus, EParseStatus::kOk);
    ASSERT_EQ(p.vecTokens.size(), 2u);
    EXPECT_TRUE(p.vecTokens[1] == Q(text));
  }
}

// Random lines from a small alphabet that is rich in the tokenizer's special
// bytes: whatever a line holds, the tokenizer answers; and whenever it
// accepts a line, writing its tokens back in quoted form and reading that
// gives the same texts.
TEST(ScriptParserTest, RandomLinesRoundTripOrFailCleanly) {
  const std::string alphabet[] = {" ", "\t", "\"", "\\", "n", "t", "a", "#", "null", "\xed\x95\x9c", "\xff",
                                  "\xc3", "\r", "$"};
  std::mt19937 rng(20240305);
  size_t nAccepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string line;
    const int len = static_cast<int>(rng() % 16);
    for (int i = 0; i < len; ++i) line += alphabet[rng() % std::size(alphabet)];
    const SParsedLine p = ParseScriptLine(line);
    if (p.eStatus != EParseStatus::kOk) {
      EXPECT_TRUE(p.vecTokens.empty());
      if (p.eStatus != EParseStatus::kBlank) {
        EXPECT_LT(p.nErrorOffset, line.size());
      }
      continue;
    }
    ++nAccepted;
    std::string again;
    for (const SToken& t : p.vecTokens) again += QuoteText(t.strText) + " ";
    const SParsedLine q = ParseScriptLine(again);
    ASSERT_EQ(q.eStatus, EParseStatus::kOk) << again;
    ASSERT_EQ(q.vecTokens.size(), p.vecTokens.size()) << again;
    for (size_t i = 0; i < q.vecTokens.size(); ++i) EXPECT_EQ(q.vecTokens[i].strText, p.vecTokens[i].strText);
  }
  EXPECT_GT(nAccepted, 0u);  // the alphabet does produce readable lines
}

}  // namespace
}  // namespace tessor::cli
