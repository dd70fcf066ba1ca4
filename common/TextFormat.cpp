#include <stdio.h>

#include "common/Texts.h"

namespace tessor {

const char* GetText(TextId id) {
  if (id < 0 || id >= TEXT_COUNT) return "";
  return g_texts[id].szCp949;
}

// The table's formats are fixed texts of our own whose argument kinds are
// recorded beside them; each is used only with the arguments it declares.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string FormatText(TextId id, int n) {
  if (id < 0 || id >= TEXT_COUNT) return std::string();
  if (g_texts[id].args != TEXT_ARGS_INT) return g_texts[id].szCp949;
  char buf[1024];
  ::snprintf(buf, sizeof(buf), g_texts[id].szCp949, n);
  return buf;
}

std::string FormatText(TextId id, const char* s1, const char* s2) {
  if (id < 0 || id >= TEXT_COUNT) return std::string();
  if (g_texts[id].args != TEXT_ARGS_TWO_TEXTS) return g_texts[id].szCp949;
  int len = ::snprintf(nullptr, 0, g_texts[id].szCp949, s1 ? s1 : "", s2 ? s2 : "");
  if (len < 0) return std::string();
  std::string out(static_cast<size_t>(len) + 1, '\0');
  ::snprintf(out.data(), out.size(), g_texts[id].szCp949, s1 ? s1 : "", s2 ? s2 : "");
  out.resize(static_cast<size_t>(len));
  return out;
}
#pragma GCC diagnostic pop

}  // namespace tessor
