// The script language of tessor-cli, without any I/O: splitting a line into
// tokens, checking UTF-8, reading integers and writing texts back in the
// quoted form that the tokenizer reads. Kept apart from the host so that the
// unit tests and a fuzzer can drive it with bytes alone.
//
// A line is UTF-8. Tokens are separated by blanks (space, tab). A token is
// either a bare word or a text in double quotes with the escapes \" \\ \n
// \t; "" is the empty text. The bare word null stands for an absent text.
// A line whose first non-blank character is '#' is a comment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessor::cli {

struct SToken {
  std::string strText;   // the word, or the quoted text with its escapes resolved
  bool bQuoted = false;  // written in double quotes
  bool bNull = false;    // the bare word null

  bool IsBare(std::string_view word) const { return !bQuoted && strText == word; }
};

enum class EParseStatus {
  kOk,
  kBlank,              // empty, only blanks, or a comment: nothing to run
  kInvalidUtf8,
  kNulByte,
  kUnterminatedQuote,
  kUnknownEscape,      // a backslash in quotes followed by anything but " \ n t
  kQuoteInWord,        // a double quote inside a bare word
  kJoinedToQuote,      // a closing quote followed by something other than a blank
};

struct SParsedLine {
  EParseStatus eStatus = EParseStatus::kBlank;
  std::vector<SToken> vecTokens;
  // With a token limit: the rest of the line after the last token read,
  // leading blanks removed, untouched otherwise (not tokenized, not checked
  // beyond UTF-8).
  std::string strRest;
  size_t nErrorOffset = 0;  // byte offset of the fault in the line
};

// Splits one line (without its line feed; a final carriage return is
// dropped). With nMaxTokens, stops after that many tokens and leaves the
// rest of the line in strRest. The whole line is checked for UTF-8 first,
// also the part left in strRest.
SParsedLine ParseScriptLine(std::string_view line, size_t nMaxTokens = SIZE_MAX);

// A sentence for an error line: "unterminated quote at byte 12".
std::string DescribeParseError(const SParsedLine& parsed);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// On failure *pBadOffset (when given) is the offset of the first bad byte.
bool IsValidUtf8(std::string_view text, size_t* pBadOffset = nullptr);

// Reads an optionally signed decimal integer (and, with bAllowHex, 0x...)
// that lies in [nMin, nMax]. The whole text must be the number.
enum class EIntStatus { kOk, kNotANumber, kOutOfRange };
EIntStatus ParseInteger(std::string_view text, int64_t nMin, int64_t nMax, bool bAllowHex, int64_t* pValue);

// The quoted form of a text, as the tokenizer reads it back.
std::string QuoteText(std::string_view text);

}  // namespace tessor::cli
