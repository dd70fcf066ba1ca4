#include "platform/CodePage.h"

#include <errno.h>
#include <iconv.h>

#include <cstdint>

namespace tessor::platform {

namespace {

// Length of the valid UTF-8 sequence at p (1-4), or 0 when invalid.
size_t Utf8SeqLen(const unsigned char* p, size_t left, uint32_t* cp) {
  unsigned char c = p[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t n;
  uint32_t v;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    v = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    v = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    v = c & 0x07;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (p[i] & 0x3F);
  }
  if ((n == 2 && v < 0x80) || (n == 3 && v < 0x800) || (n == 4 && (v < 0x10000 || v > 0x10FFFF)) ||
      (v >= 0xD800 && v <= 0xDFFF))
    return 0;
  *cp = v;
  return n;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// One iconv descriptor per thread and direction: opening one costs more
// than converting a short text.
class CConverter {
 public:
  CConverter(const char* to, const char* from) : m_cd(::iconv_open(to, from)) {}
  ~CConverter() {
    if (m_cd != reinterpret_cast<iconv_t>(-1)) ::iconv_close(m_cd);
  }
  bool Ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  // Converts one unit; answers the bytes written (0 when unmappable).
  size_t One(const char* in, size_t in_len, char* out, size_t out_cap) {
    ::iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in);
    size_t left = in_len;
    char* dst = out;
    size_t room = out_cap;
    if (::iconv(m_cd, &src, &left, &dst, &room) == static_cast<size_t>(-1) || left != 0) return 0;
    return out_cap - room;
  }

 private:
  iconv_t m_cd;
};

CConverter& ToCp949() {
  thread_local CConverter c("CP949", "UTF-8");
  return c;
}
CConverter& FromCp949() {
  thread_local CConverter c("UTF-8", "CP949");
  return c;
}

}  // namespace

std::string SanitizeUtf8(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp;
    size_t n = Utf8SeqLen(p + i, utf8.size() - i, &cp);
    if (n == 0) {
      out += '?';
      ++i;
    } else {
      out.append(utf8.data() + i, n);
      i += n;
    }
  }
  return out;
}

std::string Utf8ToCp949(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  CConverter& cv = ToCp949();
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t i = 0;
  while (i < utf8.size()) {
    // ASCII passes through unchanged; only the rest goes to iconv.
    if (p[i] < 0x80) {
      out += static_cast<char>(p[i++]);
      continue;
    }
    uint32_t cp;
    size_t n = Utf8SeqLen(p + i, utf8.size() - i, &cp);
    if (n == 0) {
      out += '?';
      ++i;
      continue;
    }
    char buf[8];
    size_t w = cv.Ok() ? cv.One(utf8.data() + i, n, buf, sizeof(buf)) : 0;
    if (w == 0)
      out += '?';
    else
      out.append(buf, w);
    i += n;
  }
  return out;
}

std::string Cp949ToUtf8(std::string_view cp949) {
  std::string out;
  out.reserve(cp949.size() * 3 / 2);
  CConverter& cv = FromCp949();
  const auto* p = reinterpret_cast<const unsigned char*>(cp949.data());
  size_t i = 0;
  while (i < cp949.size()) {
    if (p[i] < 0x80) {
      out += static_cast<char>(p[i++]);
      continue;
    }
    char buf[8];
    size_t w = 0;
    if (cv.Ok() && i + 1 < cp949.size()) w = cv.One(cp949.data() + i, 2, buf, sizeof(buf));
    if (w == 0) {
      out += '?';
      ++i;
    } else {
      out.append(buf, w);
      i += 2;
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      AppendUtf8(out, cp);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += '?';  // unpaired surrogate
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp;
    size_t n = Utf8SeqLen(p + i, utf8.size() - i, &cp);
    if (n == 0) {
      out += u'?';
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += n;
  }
  return out;
}

std::string Utf16ToCp949(std::u16string_view utf16) { return Utf8ToCp949(Utf16ToUtf8(utf16)); }

std::u16string Cp949ToUtf16(std::string_view cp949) { return Utf8ToUtf16(Cp949ToUtf8(cp949)); }

}  // namespace tessor::platform
