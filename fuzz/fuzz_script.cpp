// The script tokenizer of tessor-cli on arbitrary input, split into lines
// as the host reads them. Checked on every line: an error points inside
// the line; a line that parses gives tokens that, written back with
// QuoteText, parse to the same texts; a token limit only cuts the same
// tokens short; the tokenizer's UTF-8 test agrees with the code-page
// layer's; an integer read back is in range and reads the same again.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/CodePage.h"
#include "tools/cli/ScriptParser.h"

namespace tessor::fuzz {
namespace {

using cli::EIntStatus;
using cli::EParseStatus;

std::vector<std::string> Texts(const cli::SParsedLine& p) {
  std::vector<std::string> out;
  for (const auto& t : p.vecTokens) out.push_back(t.strText);
  return out;
}

void CheckLine(std::string_view line, size_t nMax) {
  const cli::SParsedLine full = cli::ParseScriptLine(line);
  FUZZ_CHECK(!cli::DescribeParseError(full).empty());
  if (full.eStatus != EParseStatus::kOk) {
    FUZZ_CHECK(full.vecTokens.empty());
    if (full.eStatus != EParseStatus::kBlank) FUZZ_CHECK(full.nErrorOffset < line.size());
  } else {
    FUZZ_CHECK(!full.vecTokens.empty() && full.strRest.empty());
    std::string again;
    for (const auto& t : full.vecTokens) {
      FUZZ_CHECK(t.strText.find('\0') == std::string::npos);
      FUZZ_CHECK(!t.bNull || (t.strText == "null" && !t.bQuoted));
      if (!again.empty()) again += ' ';
      again += cli::QuoteText(t.strText);
    }
    const cli::SParsedLine back = cli::ParseScriptLine(again);
    FUZZ_CHECK(back.eStatus == EParseStatus::kOk);
    FUZZ_CHECK(Texts(back) == Texts(full));
    for (const auto& t : back.vecTokens) FUZZ_CHECK(t.bQuoted && !t.bNull);
  }

  if (nMax != SIZE_MAX) {
    const cli::SParsedLine cut = cli::ParseScriptLine(line, nMax);
    FUZZ_CHECK(cut.vecTokens.size() <= nMax);
    if (!cut.strRest.empty()) {
      FUZZ_CHECK(cut.vecTokens.size() == nMax);
      FUZZ_CHECK(cut.strRest[0] != ' ' && cut.strRest[0] != '\t');
    }
    if (full.eStatus == EParseStatus::kOk) {
      FUZZ_CHECK(cut.eStatus == EParseStatus::kOk);
      const auto all = Texts(full);
      const auto some = Texts(cut);
      FUZZ_CHECK(std::vector<std::string>(all.begin(), all.begin() + static_cast<long>(some.size())) == some);
      FUZZ_CHECK(some.size() == std::min(all.size(), nMax));
    }
  }

  // Both layers must agree on what valid UTF-8 is.
  size_t bad = 0;
  const bool valid = cli::IsValidUtf8(line, &bad);
  FUZZ_CHECK(valid == (platform::SanitizeUtf8(line) == line));
  if (!valid) FUZZ_CHECK(bad < line.size());
}

void CheckInteger(std::string_view text, int64_t lo, int64_t hi, bool hex) {
  int64_t v = 0;
  const EIntStatus st = cli::ParseInteger(text, lo, hi, hex, &v);
  if (st != EIntStatus::kOk) return;
  FUZZ_CHECK(v >= lo && v <= hi);
  int64_t again = 0;
  FUZZ_CHECK(cli::ParseInteger(std::to_string(v), lo, hi, false, &again) == EIntStatus::kOk && again == v);
}

}  // namespace
}  // namespace tessor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessor::fuzz;
  CInput in(data, size);
  const uint8_t options = in.Byte();
  const size_t nMax = (options & 7) == 0 ? SIZE_MAX : (options & 7);
  const bool hex = (options & 8) != 0;
  const std::string text = in.Rest();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + pos, end - pos);
    CheckLine(line, nMax);
    // The I2 arguments and the numbers of pump, wait and message.
    CheckInteger(line, -32768, 32767, hex);
    CheckInteger(line, 0, INT64_MAX / 2, hex);
    pos = end + 1;
  }
  return 0;
}
