// Shared pieces of the module tests: a fresh log folder per test, the
// day's log read back as lines, the threads of this process, and the two
// answers of a loopback ORV peer that the round trips need.
//
// The tests link only the shared library (or load it with dlopen), so
// nothing here uses the library's internal code; the peer's packets are
// written by hand from the wire layouts.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestPeer.h"

#ifndef TESSOR_MODULE_TEST_TMP
#define TESSOR_MODULE_TEST_TMP "/tmp"
#endif

namespace tessor::moduletest {

// A fresh folder below the build tree, made the log folder of this process.
// It is left in place: the module's end line arrives after the test.
inline std::string FreshLogDir() {
  ::mkdir(TESSOR_MODULE_TEST_TMP, 0700);
  std::string templ = std::string(TESSOR_MODULE_TEST_TMP) + "/log-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  const char* made = ::mkdtemp(buf.data());
  const std::string dir = made != nullptr ? std::string(made) : std::string(TESSOR_MODULE_TEST_TMP);
  ::setenv("TESSOR_LOG_DIR", dir.c_str(), 1);
  return dir;
}

// Every line of every RECClient-*.log in dir (a test may cross midnight),
// time stamps and CR LF removed; bytes as written (CP949).
inline std::vector<std::string> LogMessages(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return out;
  std::vector<std::string> files;
  while (dirent* e = ::readdir(d))
    if (std::strncmp(e->d_name, "RECClient-", 10) == 0) files.push_back(dir + "/" + e->d_name);
  ::closedir(d);
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string raw = ss.str();
    size_t pos = 0;
    while (pos < raw.size()) {
      size_t end = raw.find("\r\n", pos);
      if (end == std::string::npos) end = raw.size();
      const std::string line = raw.substr(pos, end - pos);
      out.push_back(line.size() >= 21 ? line.substr(21) : line);  // "[MM/DD-hh:mm:ss.mmm] "
      pos = end + 2;
    }
  }
  return out;
}

inline bool LogHas(const std::string& dir, const std::string& message) {
  for (const auto& m : LogMessages(dir))
    if (m == message) return true;
  return false;
}

// Threads of this process now.
inline int ThreadCount() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/task");
  if (d == nullptr) return -1;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}

// The codes and offsets below are written out from the wire layout on
// purpose: they check the library, so they do not come from it.
constexpr uint16_t CODE_LOGIN = 49;
constexpr uint16_t CODE_LOGIN_RESULT = 50;
constexpr uint16_t CODE_GET_CALLID = 67;
constexpr uint16_t CODE_CALLID_RESPONSE = 68;
constexpr size_t LOGIN_EXTNO_AT = 16, LOGIN_TENANT_AT = 40, LOGIN_AID_AT = 72, LOGIN_PWD_AT = 104;

inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// C_LOGIN_RESULT, 213 bytes: result code at 16, record type at 203.
inline std::vector<uint8_t> LoginResultPacket(uint16_t result, uint16_t recordType) {
  return CTestPeer::Packet(CODE_LOGIN_RESULT, 213, [=](uint8_t* p) {
    Put16(p + 16, result);
    Put16(p + 203, recordType);
  });
}

// C_GET_RECORD_CALLID_RESPONSE, 240 bytes: the call id text at 80 (128 wide).
inline std::vector<uint8_t> CallIdPacket(const std::string& callId) {
  return CTestPeer::Packet(CODE_CALLID_RESPONSE, 240, [&](uint8_t* p) {
    std::memcpy(p + 80, callId.data(), std::min<size_t>(callId.size(), 127));
  });
}

// The packets of one connection that carry code.
inline std::vector<std::vector<uint8_t>> PacketsWithCode(const CTestPeer& peer, uint16_t code, int conn = -1) {
  std::vector<std::vector<uint8_t>> out;
  for (auto& p : peer.Packets(conn))
    if (p.size() >= 16 && Get16(p.data() + 2) == code) out.push_back(p);
  return out;
}

// A zero-terminated text field of a packet.
inline std::string Field(const std::vector<uint8_t>& packet, size_t offset, size_t width) {
  std::string s;
  for (size_t i = offset; i < offset + width && i < packet.size() && packet[i] != 0; ++i)
    s.push_back(static_cast<char>(packet[i]));
  return s;
}

}  // namespace tessor::moduletest
