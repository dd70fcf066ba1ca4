// Helpers shared by the fuzz targets: a byte reader in the manner of
// libFuzzer's FuzzedDataProvider (kept here so that the targets also build
// with gcc, as corpus replays), a per-process log folder that cannot grow
// without bound, and a check that stops the run with a message.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Log.h"

// An invariant of a target: on violation report where and abort, which
// libFuzzer turns into a crash input.
#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      ::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
      ::abort();                                                                      \
    }                                                                                 \
  } while (0)

namespace tessor::fuzz {

// Reads the input from the front, as FuzzedDataProvider does; past the end
// every read answers zeros or empty, so any input is a valid program.
class CInput {
 public:
  CInput(const uint8_t* data, size_t size) : m_p(data), m_n(size) {}

  size_t Remaining() const { return m_n; }
  bool Empty() const { return m_n == 0; }

  uint8_t Byte() {
    if (m_n == 0) return 0;
    --m_n;
    return *m_p++;
  }
  bool Bool() { return (Byte() & 1) != 0; }
  uint16_t U16() {
    const uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  uint32_t U32() {
    const uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  // An integer in [lo, hi] from as few bytes as the range needs.
  uint32_t InRange(uint32_t lo, uint32_t hi) {
    const uint64_t span = static_cast<uint64_t>(hi) - lo + 1;
    uint64_t v = 0;
    for (uint64_t reach = 1; reach < span && m_n > 0; reach <<= 8) v = (v << 8) | Byte();
    return static_cast<uint32_t>(lo + v % span);
  }
  // Up to n bytes (fewer at the end of the input).
  std::string Bytes(size_t n) {
    if (n > m_n) n = m_n;
    std::string s(reinterpret_cast<const char*>(m_p), n);
    m_p += n;
    m_n -= n;
    return s;
  }
  std::string Rest() { return Bytes(m_n); }

 private:
  const uint8_t* m_p;
  size_t m_n;
};

// A log folder of this process under /tmp, removed at exit. Cap() empties
// the day's file once it passes a few megabytes, so long runs do not fill
// the disk; every line is still formatted and written.
class CFuzzLog {
 public:
  CFuzzLog() {
    char templ[] = "/tmp/tessor-fuzz-XXXXXX";
    const char* made = ::mkdtemp(templ);
    m_strParent = made != nullptr ? made : "/tmp";
    m_strDir = m_strParent + "/log";
    ::setenv("TESSOR_LOG_DIR", m_strDir.c_str(), 1);
  }
  ~CFuzzLog() {
    ::unlink(tessor::CurrentLogPath().c_str());
    ::rmdir(m_strDir.c_str());
    ::rmdir(m_strParent.c_str());
  }
  void Cap() {
    if (++m_nCalls % 256 != 0) return;
    struct stat st;
    const std::string path = tessor::CurrentLogPath();
    if (::stat(path.c_str(), &st) == 0 && st.st_size > kMaxBytes) {
      int rc = ::truncate(path.c_str(), 0);
      (void)rc;
    }
  }

 private:
  static constexpr off_t kMaxBytes = 8 << 20;
  std::string m_strParent;
  std::string m_strDir;
  unsigned m_nCalls = 0;
};

}  // namespace tessor::fuzz
