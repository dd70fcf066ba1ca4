#include "common/LastLogin.h"

namespace tessor {

void CLastLogin::Store(const char* dn, const char* aid, const char* pwd, const char* tenant) {
  SLastLogin v{dn ? dn : "", aid ? aid : "", pwd ? pwd : "", tenant ? tenant : ""};
  std::lock_guard<std::mutex> guard(m_lock);
  m_value = std::move(v);
}

SLastLogin CLastLogin::Snapshot() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_value;
}

std::string CLastLogin::DN() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_value.strDN;
}

void CLastLogin::ResetForTest() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_value = SLastLogin{};
}

CLastLogin& LastLogin() {
  static CLastLogin* instance = new CLastLogin;
  return *instance;
}

}  // namespace tessor
