// CTessorCtrl: the control the host creates. It publishes the methods,
// properties and events of the automation interface and turns the six
// window messages from the receive threads into property changes and
// events on the host thread.
//
// Threads: everything here runs on the host thread (the one that created
// the control), except that receive threads send the six messages to its
// window, which the host loop hands to WindowProc on the host thread. The
// fields therefore need no lock; the manager's shared state has its own.
//
// Texts are CP949; an absent text (nullptr) passes the argument checks as
// "(null)" and is handed on as the empty text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control/Variant.h"
#include "manager/TessorDlg.h"
#include "platform/HostLoop.h"
#include "platform/Thread.h"

namespace tessor {

constexpr const char* TESSOR_VERSION = "1.0.0.28";

// The events of the event interface.
constexpr int DISPID_EVENT_SETCALLID = 1;
constexpr int DISPID_EVENT_LOGINSUCCESS = 2;
constexpr int DISPID_EVENT_RECTYPECHANGE = 3;
constexpr int DISPID_EVENT_AGENTSTATUSCHANGE = 4;
constexpr int DISPID_EVENT_DISCONNECTED = 5;
constexpr int DISPID_EVENT_SETCURRENTCALLID = 6;
constexpr int DISPID_EVENT_SETTELNUMBER = 7;

// A connected event sink; called synchronously on the host thread.
class IEventSink {
 public:
  virtual ~IEventSink() = default;
  virtual void OnEvent(int dispid, const char* name, const std::vector<CVariant>& args) = 0;
};

class CTessorCtrl : public platform::CWindow {
 public:
  CTessorCtrl();
  ~CTessorCtrl() override;

  // Activation: creates the control's window and the manager's child window.
  bool CreateControlWindow(platform::CWindow* pParent = nullptr);
  // Destroys the control now, or, when called from inside its own code (an
  // event handler), as soon as that code has returned.
  static void Destroy(CTessorCtrl* pCtrl);

  // Methods, in the order of their DISPIDs.
  int16_t ConnectToORV(const char* server, int16_t port);
  int16_t LoginToORV(const char* ExtNo, const char* AID, const char* PWD, const char* Tenant);
  int16_t LogOffFromORV(const char* ExtNo, const char* AID, const char* Tenant);
  void GetCallID(const char* ExtNo, const char* AID, const char* Tenant);
  void SendMarkInfo(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant);
  void SendBasicInfo(const char* ExtNo, const char* CallID, const char* ANI, const char* DNIS, const char* AID,
                     const char* Tenant, int16_t type);
  void SendPostInfo(const char* ExtNo, const char* CallID, const char* start, const char* desc, const char* AID,
                    const char* Tenant);
  void SendExtendInfo(const char* ExtNo, const char* CallID, const char* name, const char* cid, const char* ctel,
                      const char* info1, const char* info2, const char* info3, const char* info4, const char* info5,
                      const char* AID, const char* Tenant);
  int16_t ConnectToORV2(const char* server, int16_t port);
  int16_t LoginToORV2(const char* ExtNo, const char* AID, const char* PWD, const char* Tenant);
  int16_t LogOffFromORV2(const char* ExtNo, const char* AID, const char* Tenant);
  void SetSelectionRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant);
  void StartSelectRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant);
  void StopSelectRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant);
  void SetInterval(int16_t interval);
  std::string GetVersion();
  bool DisconnectFromORV();

  // Properties. A write stores the value and sets the modified flag.
  const std::string& GetCallIDProperty() const { return m_CallID; }
  void SetCallIDProperty(const std::string& v);
  uint16_t GetAStatus() const { return m_AStatus; }
  void SetAStatus(uint16_t v);
  uint16_t GetRType() const { return m_RType; }
  void SetRType(uint16_t v);
  const std::string& GetOcxVersion() const { return m_OcxVersion; }
  void SetOcxVersion(const std::string& v);
  bool IsModified() const { return m_bModified; }
  void SetModifiedFlag(bool b = true) { m_bModified = b; }

  void AddSink(IEventSink* pSink);
  void RemoveSink(IEventSink* pSink);

  void SetCurrentCallID(const std::string& callID);
  platform::LRESULT WindowProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) override;

  // The host thread is the one that activates the control (or, before
  // that, the one that created it).
  void BindHostThread() {
    m_hostThread.Rebind();
    m_dlg.BindHostThread();
  }
  bool CalledOnHostThread() const { return m_hostThread.CalledOnValidThread(); }
  CTessorDlg& Manager() { return m_dlg; }

  // Counts the control's own code on the stack, so that a destruction
  // asked for from inside it is deferred until it has returned.
  class CBusyScope {
   public:
    explicit CBusyScope(CTessorCtrl& c) : m_c(c) { ++m_c.m_nBusy; }
    ~CBusyScope() { --m_c.m_nBusy; }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

   private:
    CTessorCtrl& m_c;
  };

  // Fields, in declaration order.
  int32_t m_nInterval = 0;
  CTessorDlg m_dlg;
  std::string m_lastExtendInfo[12];
  std::string m_strVersion;
  std::string m_CallID;
  uint16_t m_AStatus = 0;
  uint16_t m_RType = 0;
  std::string m_OcxVersion;

 private:
  void FireEvent(int dispid, const char* name, const std::vector<CVariant>& args);
  void OnCreate();
  void OnDraw();
  void OnSetCallID();
  void OnSetTelNumber();
  int16_t Login(bool bMain, const char* ExtNo, const char* AID, const char* PWD, const char* Tenant);
  int16_t LogOff(bool bMain, const char* ExtNo, const char* AID, const char* Tenant);
  int16_t Connect(bool bMain, const char* server, int16_t port);
  template <typename ManagerFn>
  void Selection(const char* method, const char* ExtNo, const char* CallID, const char* AID, const char* Tenant,
                 ManagerFn fn);

  bool m_bModified = false;
  std::vector<IEventSink*> m_sinks;
  int m_nBusy = 0;
  bool m_bDestroyPending = false;
  platform::CThreadChecker m_hostThread;
};

}  // namespace tessor
