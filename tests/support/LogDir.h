// A fresh log folder per test, and reading back the day's log as lines
// (CR LF removed). Set up before any thread of the test logs.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/CodePage.h"

namespace tessor {

class CLogDir {
 public:
  CLogDir() {
    char templ[] = "/tmp/tessor-test-XXXXXX";
    const char* made = ::mkdtemp(templ);
    m_strParent = made != nullptr ? made : "/tmp";
    m_strDir = m_strParent + "/log";
    ::setenv("TESSOR_LOG_DIR", m_strDir.c_str(), 1);
  }
  ~CLogDir() {
    std::string cmd = "rm -rf '" + m_strParent + "'";
    int rc = ::system(cmd.c_str());
    (void)rc;
  }
  const std::string& Dir() const { return m_strDir; }
  const std::string& Parent() const { return m_strParent; }

  // The whole file of today, bytes as written.
  std::string Raw() const {
    std::ifstream in(CurrentLogPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The messages of today's lines (time stamp and CR LF removed), CP949.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    const std::string raw = Raw();
    size_t pos = 0;
    while (pos < raw.size()) {
      size_t end = raw.find("\r\n", pos);
      if (end == std::string::npos) end = raw.size();
      std::string line = raw.substr(pos, end - pos);
      // "[MM/DD-hh:mm:ss.mmm] " is 21 characters.
      out.push_back(line.size() >= 21 ? line.substr(21) : line);
      pos = end + 2;
    }
    return out;
  }
  bool Contains(const std::string& message) const {
    for (const auto& m : Messages())
      if (m == message) return true;
    return false;
  }
  // Index of the first line equal to message at or after from, or -1.
  int Find(const std::string& message, int from = 0) const {
    const auto all = Messages();
    for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < all.size(); ++i)
      if (all[i] == message) return static_cast<int>(i);
    return -1;
  }

 private:
  std::string m_strParent;
  std::string m_strDir;
};

// A Korean text of a test, written readably, as the CP949 the log holds.
inline std::string K(const char* utf8) { return platform::Utf8ToCp949(utf8); }

}  // namespace tessor
