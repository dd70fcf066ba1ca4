// A link owner for the link's own tests: records every call, and can hold
// a notification until the test releases it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "link/ORVInterface.h"

namespace tessor {

class CRecordingOwner : public ILinkOwner {
 public:
  void NotifyCallID(const char* szCallID) override { Record("callid:" + std::string(szCallID)); }
  void NotifyDisconnected(uint16_t nReason) override { Record("disconnected:" + std::to_string(nReason)); }
  void ShowLogoutAlarm(const char* szAgent, SMessageBox* pBox) override {
    Record("alarm:" + std::string(szAgent));
    pBox->bShow = true;
    pBox->strCaption = "alarm";
    pBox->strText = szAgent;
  }
  void OnLinkLost(CORVInterface* pLink, const std::string& strPeer) override {
    m_pLost = pLink;
    Record("lost:" + strPeer);
  }
  platform::HWND GetControlHwnd() override { return m_hCtrl; }
  platform::HWND GetOwnerHwnd() override { return 77; }

  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_calls;
  }
  bool Has(const std::string& call) const {
    for (const auto& c : Calls())
      if (c == call) return true;
    return false;
  }
  // While held, the next call blocks until Release (a notification pending).
  void Hold() {
    std::lock_guard<std::mutex> g(m_lock);
    m_bHold = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_bHold = false;
    }
    m_cv.notify_all();
  }
  bool Blocked() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_bBlocked;
  }

  platform::HWND m_hCtrl = 0;
  CORVInterface* m_pLost = nullptr;

 private:
  void Record(const std::string& call) {
    std::unique_lock<std::mutex> g(m_lock);
    m_calls.push_back(call);
    m_bBlocked = m_bHold;
    m_cv.wait(g, [this] { return !m_bHold; });
    m_bBlocked = false;
  }
  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  std::vector<std::string> m_calls;
  bool m_bHold = false;
  bool m_bBlocked = false;
};

}  // namespace tessor
