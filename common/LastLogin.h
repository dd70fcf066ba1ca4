// LastLogin: the texts of the last login request, module-wide, kept whole
// (not cut to field widths) and never cleared. Written by the login encoder
// on the host thread, read by QuickConnect (host thread) and by the forced
// log-out warning (a receive thread). Its own lock makes every read see a
// whole earlier or later write, never a mix.
#pragma once

#include <mutex>
#include <string>

namespace tessor {

struct SLastLogin {
  std::string strDN;
  std::string strAID;
  std::string strPWD;
  std::string strTENANT;
};

class CLastLogin {
 public:
  void Store(const char* dn, const char* aid, const char* pwd, const char* tenant);
  SLastLogin Snapshot() const;
  std::string DN() const;
  void ResetForTest();

 private:
  mutable std::mutex m_lock;
  SLastLogin m_value;  // guarded by m_lock
};

// The one instance; never destroyed, so a receive thread may read it at exit.
CLastLogin& LastLogin();

}  // namespace tessor
