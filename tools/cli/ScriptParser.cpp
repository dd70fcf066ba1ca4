#include "tools/cli/ScriptParser.h"

namespace tessor::cli {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(std::string_view s, size_t i) {
  while (i < s.size() && IsBlank(s[i])) ++i;
  return i;
}

}  // namespace

bool IsValidUtf8(std::string_view text, size_t* pBadOffset) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    size_t len = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
      min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
      min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
      min = 0x10000;
    } else {
      if (pBadOffset != nullptr) *pBadOffset = i;
      return false;
    }
    if (n - i < len) {
      if (pBadOffset != nullptr) *pBadOffset = i;
      return false;
    }
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) {
        if (pBadOffset != nullptr) *pBadOffset = i;
        return false;
      }
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      if (pBadOffset != nullptr) *pBadOffset = i;
      return false;
    }
    i += len;
  }
  return true;
}

SParsedLine ParseScriptLine(std::string_view line, size_t nMaxTokens) {
  SParsedLine out;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

  // A comment never runs, so its bytes are not checked.
  size_t i = SkipBlanks(line, 0);
  if (i == line.size() || line[i] == '#') {
    out.eStatus = EParseStatus::kBlank;
    return out;
  }

  size_t bad = 0;
  if (!IsValidUtf8(line, &bad)) {
    out.eStatus = EParseStatus::kInvalidUtf8;
    out.nErrorOffset = bad;
    return out;
  }
  // A NUL could not pass through the C API's zero-terminated texts.
  if (const size_t nul = line.find('\0'); nul != std::string_view::npos) {
    out.eStatus = EParseStatus::kNulByte;
    out.nErrorOffset = nul;
    return out;
  }

  auto fail = [&](EParseStatus status, size_t offset) {
    out.eStatus = status;
    out.nErrorOffset = offset;
    out.vecTokens.clear();
    out.strRest.clear();
    return out;
  };

  while (i < line.size()) {
    if (out.vecTokens.size() == nMaxTokens) {
      out.strRest = std::string(line.substr(i));
      break;
    }
    SToken token;
    if (line[i] == '"') {
      const size_t open = i++;
      token.bQuoted = true;
      bool bClosed = false;
      while (i < line.size()) {
        const char c = line[i];
        if (c == '"') {
          bClosed = true;
          ++i;
          break;
        }
        if (c == '\\') {
          if (i + 1 >= line.size()) return fail(EParseStatus::kUnterminatedQuote, open);
          switch (line[i + 1]) {
            case '"': token.strText += '"'; break;
            case '\\': token.strText += '\\'; break;
            case 'n': token.strText += '\n'; break;
            case 't': token.strText += '\t'; break;
            default: return fail(EParseStatus::kUnknownEscape, i);
          }
          i += 2;
          continue;
        }
        token.strText += c;
        ++i;
      }
      if (!bClosed) return fail(EParseStatus::kUnterminatedQuote, open);
      if (i < line.size() && !IsBlank(line[i])) return fail(EParseStatus::kJoinedToQuote, i);
    } else {
      const size_t start = i;
      while (i < line.size() && !IsBlank(line[i])) {
        if (line[i] == '"') return fail(EParseStatus::kQuoteInWord, i);
        ++i;
      }
      token.strText = std::string(line.substr(start, i - start));
      token.bNull = token.strText == "null";
    }
    out.vecTokens.push_back(std::move(token));
    i = SkipBlanks(line, i);
  }
  out.eStatus = EParseStatus::kOk;
  return out;
}

std::string DescribeParseError(const SParsedLine& parsed) {
  const std::string at = " at byte " + std::to_string(parsed.nErrorOffset + 1);
  switch (parsed.eStatus) {
    case EParseStatus::kOk: return "no error";
    case EParseStatus::kBlank: return "nothing to run";
    case EParseStatus::kInvalidUtf8: return "invalid UTF-8" + at;
    case EParseStatus::kNulByte: return "NUL byte" + at;
    case EParseStatus::kUnterminatedQuote: return "unterminated quote" + at;
    case EParseStatus::kUnknownEscape: return "unknown escape in quotes" + at + " (known: \\\" \\\\ \\n \\t)";
    case EParseStatus::kQuoteInWord: return "double quote inside a word" + at;
    case EParseStatus::kJoinedToQuote: return "blank expected after the closing quote" + at;
  }
  return "unreadable line";
}

EIntStatus ParseInteger(std::string_view text, int64_t nMin, int64_t nMax, bool bAllowHex, int64_t* pValue) {
  size_t i = 0;
  bool bNegative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    bNegative = text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (bAllowHex && text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return EIntStatus::kNotANumber;
  // Accumulate as unsigned with saturation so that any length of digits is
  // a range error, not an overflow.
  constexpr uint64_t LIMIT = uint64_t{1} << 62;
  uint64_t magnitude = 0;
  bool bHuge = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return EIntStatus::kNotANumber;
    }
    if (!bHuge) {
      magnitude = magnitude * base + digit;
      if (magnitude >= LIMIT) bHuge = true;
    }
  }
  if (bHuge) return EIntStatus::kOutOfRange;
  const int64_t value = bNegative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < nMin || value > nMax) return EIntStatus::kOutOfRange;
  if (pValue != nullptr) *pValue = value;
  return EIntStatus::kOk;
}

std::string QuoteText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c; break;
    }
  }
  out += '"';
  return out;
}

}  // namespace tessor::cli
