#include "control/TessorCtrl.h"

#include <algorithm>
#include <initializer_list>
#include <optional>

#include "common/Log.h"
#include "common/RunFlag.h"
#include "common/Texts.h"
#include "common/WindowMessages.h"
#include "link/Protocol.h"

namespace tessor {

namespace {

// The argument check's copy: an absent text is the six bytes "(null)".
std::string Copy(const char* p) { return p != nullptr ? std::string(p) : std::string("(null)"); }
// What is handed on: an absent text becomes the empty text.
const char* N(const char* p) { return p != nullptr ? p : ""; }

// The null-text rule of the optional fields: exactly "(null)" becomes empty.
void NullRule(std::string& s) {
  if (s == "(null)") s.clear();
}

struct SCheck {
  const std::string& value;
  int nLimit;
  TextId text;
};

struct SRefusal {
  TextId text;
  int nLimit;
};

// The first field whose byte length reaches its limit. Answered by value:
// the checks live only as long as the caller's statement.
std::optional<SRefusal> FirstRefused(std::initializer_list<SCheck> checks) {
  for (const SCheck& c : checks)
    if (static_cast<int>(c.value.size()) >= c.nLimit) return SRefusal{c.text, c.nLimit};
  return std::nullopt;
}

// ASCII letters compare without case; every other byte exactly. A
// double-byte character (lead byte 0x81-0xFE) matches only itself, even
// when its second byte happens to be an ASCII letter.
bool EqualsAsciiNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 0x81 && x <= 0xFE && i + 1 < a.size()) {
      if (x != y || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

constexpr int LIMIT_EXTNO = static_cast<int>(W_EXTNO);
constexpr int LIMIT_AID = static_cast<int>(W_AID);
constexpr int LIMIT_TENANT = static_cast<int>(W_TENANT);
constexpr int LIMIT_PWD = static_cast<int>(W_PWD);
constexpr int LIMIT_CALLID = static_cast<int>(W_CALLID);
constexpr int LIMIT_ANI = static_cast<int>(W_ANI);
constexpr int LIMIT_DNIS = static_cast<int>(W_DNIS);
constexpr int LIMIT_DESC = static_cast<int>(W_DESC);
constexpr int LIMIT_START = static_cast<int>(W_TIME);
constexpr int LIMIT_NAME = static_cast<int>(W_NAME);
constexpr int LIMIT_CID = static_cast<int>(W_CID);
constexpr int LIMIT_CTEL = static_cast<int>(W_CTEL);
constexpr int LIMIT_INFO12 = static_cast<int>(W_INFO12);
constexpr int LIMIT_INFO345 = static_cast<int>(W_INFO345);

}  // namespace

CTessorCtrl::CTessorCtrl() : m_strVersion(TESSOR_VERSION), m_OcxVersion(m_strVersion) {}

CTessorCtrl::~CTessorCtrl() {
  // The manager's child window goes with the control's window; its
  // destroy handler tears the links down.
  DestroyWindow();
}

void CTessorCtrl::Destroy(CTessorCtrl* pCtrl) {
  if (pCtrl == nullptr) return;
  if (pCtrl->m_nBusy > 0) {
    // Called from inside the control (an event handler): no more events,
    // and the destruction runs once the control's code has returned.
    pCtrl->m_bDestroyPending = true;
    platform::CHostLoop::ForCurrentThread()->PostTask([pCtrl] { Destroy(pCtrl); });
    return;
  }
  delete pCtrl;
}

bool CTessorCtrl::CreateControlWindow(platform::CWindow* pParent) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  return CreateWindowOn(pParent);
}

void CTessorCtrl::OnCreate() {
  // The manager's window is a child of ours; its result is not used.
  m_dlg.Create(this);
  m_dlg.SetCtrl(this);
}

void CTessorCtrl::OnDraw() {
  const platform::SRect r = GetWindowRect();
  if (m_dlg.GetSafeHwnd() != 0) m_dlg.MoveWindow(r.nLeft, r.nTop, r.nRight - r.nLeft, r.nBottom - r.nTop, true);
}

platform::LRESULT CTessorCtrl::WindowProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  CBusyScope busy(*this);
  const uint16_t low = static_cast<uint16_t>(lParam & 0xFFFF);
  const int16_t value = static_cast<int16_t>(low);  // the events carry it signed
  switch (msg) {
    case platform::WM_CREATE:
      OnCreate();
      return 0;
    case platform::WM_PAINT:
      OnDraw();
      return 0;
    case WM_SET_CALLID:
      OnSetCallID();
      return 0;
    case WM_LOGIN_SUCCESS:
      m_AStatus = 3;
      m_RType = low;
      FireEvent(DISPID_EVENT_LOGINSUCCESS, "LoginSuccess", {CVariant::I2(value)});
      return 0;
    case WM_RECTYPE_CHANGE:
      m_RType = low;
      FireEvent(DISPID_EVENT_RECTYPECHANGE, "RecTypeChange", {CVariant::I2(value)});
      return 0;
    case WM_AGENT_STATUS_CHANGE:
      m_AStatus = low;
      FireEvent(DISPID_EVENT_AGENTSTATUSCHANGE, "AgentStatusChange", {CVariant::I2(value)});
      return 0;
    case WM_DISCONNECTED:
      FireEvent(DISPID_EVENT_DISCONNECTED, "Disconnected", {CVariant::I2(value)});
      return 0;
    case WM_SET_TELNUMBER:
      OnSetTelNumber();
      return 0;
    default:
      return CWindow::WindowProc(msg, wParam, lParam);
  }
}

void CTessorCtrl::OnSetCallID() {
  // A copy first: the manager's buffer may change while the events run.
  const std::string callID = m_dlg.CopyCallID();
  SetCurrentCallID(callID);
}

void CTessorCtrl::SetCurrentCallID(const std::string& callID) {
  m_CallID = callID;
  WriteLog("SetCurrentCallID : CALLID(%s)", callID.c_str());
  if (callID.empty() && m_nInterval > 0) {
    // Holds the host thread and the delivering receive thread, by design.
    platform::SleepMs(m_nInterval * 1000);
    WriteLog("Sleep - %d * 1000", m_nInterval);
  }
  FireEvent(DISPID_EVENT_SETCALLID, "SetCallID", {});
  FireEvent(DISPID_EVENT_SETCURRENTCALLID, "SetCurrentCallID", {CVariant::Text(callID)});
}

void CTessorCtrl::OnSetTelNumber() {
  const std::string number = m_dlg.CopyTelNumber();
  WriteLog("SetTelNumber : PHONE(%s)", number.c_str());
  FireEvent(DISPID_EVENT_SETTELNUMBER, "SetTelNumber", {CVariant::Text(number)});
}

void CTessorCtrl::AddSink(IEventSink* pSink) {
  if (pSink != nullptr && std::find(m_sinks.begin(), m_sinks.end(), pSink) == m_sinks.end()) m_sinks.push_back(pSink);
}

void CTessorCtrl::RemoveSink(IEventSink* pSink) {
  m_sinks.erase(std::remove(m_sinks.begin(), m_sinks.end(), pSink), m_sinks.end());
}

void CTessorCtrl::FireEvent(int dispid, const char* name, const std::vector<CVariant>& args) {
  CBusyScope busy(*this);
  // A sink may disconnect sinks or destroy the control from inside.
  const std::vector<IEventSink*> sinks = m_sinks;
  for (IEventSink* sink : sinks) {
    if (m_bDestroyPending) return;
    if (std::find(m_sinks.begin(), m_sinks.end(), sink) == m_sinks.end()) continue;
    sink->OnEvent(dispid, name, args);
  }
}

// ---- properties ---------------------------------------------------------------

void CTessorCtrl::SetCallIDProperty(const std::string& v) {
  m_CallID = v;
  SetModifiedFlag();
}
void CTessorCtrl::SetAStatus(uint16_t v) {
  m_AStatus = v;
  SetModifiedFlag();
}
void CTessorCtrl::SetRType(uint16_t v) {
  m_RType = v;
  SetModifiedFlag();
}
void CTessorCtrl::SetOcxVersion(const std::string& v) {
  m_OcxVersion = v;
  SetModifiedFlag();
}

// ---- connection and login -------------------------------------------------------

int16_t CTessorCtrl::Connect(bool bMain, const char* server, int16_t port) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  const int nPort = port;  // widened with its sign
  const std::string copy = Copy(server);
  if (bMain) {
    g_bRun = true;  // before the attempt, and also when it fails
    const bool ok = m_dlg.ConnectMain(N(server), nPort);
    WriteLog("ConnectToORV : SERVER(%s), PORT(%d)", copy.c_str(), nPort);
    WriteLog(ok ? "ConnectToORV Success." : "ConnectToORV Fail.");
    return ok ? 1 : 0;
  }
  const bool ok = m_dlg.ConnectSub(N(server), nPort);
  WriteLog("ConnectToORV2 : SERVER(%s), PORT(%d)", copy.c_str(), nPort);
  return ok ? 1 : 0;
}

int16_t CTessorCtrl::ConnectToORV(const char* server, int16_t port) { return Connect(true, server, port); }
int16_t CTessorCtrl::ConnectToORV2(const char* server, int16_t port) { return Connect(false, server, port); }

int16_t CTessorCtrl::Login(bool bMain, const char* ExtNo, const char* AID, const char* PWD, const char* Tenant) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  const std::string ext = Copy(ExtNo), aid = Copy(AID), pwd = Copy(PWD), tenant = Copy(Tenant);
  // LoginToORV leaves the password untested; the encoder cuts it.
  const std::optional<SRefusal> refused =
      bMain ? FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                            {aid, LIMIT_AID, TEXT_REFUSE_AID_LOGIN},
                            {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT_LOGIN}})
            : FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                            {aid, LIMIT_AID, TEXT_REFUSE_AID_LOGIN},
                            {pwd, LIMIT_PWD, TEXT_REFUSE_PWD},
                            {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT_LOGIN}});
  if (refused) {
    WriteLogText(refused->text, refused->nLimit);
    return 0;
  }
  std::shared_ptr<CORVInterface> link = bMain ? m_dlg.MainLink() : m_dlg.SubLink();
  const bool outcome = link ? SendLoginPacket(*link, N(ExtNo), N(AID), N(PWD), N(Tenant)) : false;
  // The password is masked in the log; the packet carried it.
  WriteLog(bMain ? "LoginToORV : Tenant(%s), DN(%s), ID(%s), PWD(****)"
                 : "LoginToORV2 : Tenant(%s), DN(%s), ID(%s), PWD(****)",
           tenant.c_str(), ext.c_str(), aid.c_str());
  return outcome ? 1 : 0;
}

int16_t CTessorCtrl::LoginToORV(const char* ExtNo, const char* AID, const char* PWD, const char* Tenant) {
  return Login(true, ExtNo, AID, PWD, Tenant);
}
int16_t CTessorCtrl::LoginToORV2(const char* ExtNo, const char* AID, const char* PWD, const char* Tenant) {
  return Login(false, ExtNo, AID, PWD, Tenant);
}

int16_t CTessorCtrl::LogOff(bool bMain, const char* ExtNo, const char* AID, const char* Tenant) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  const std::string ext = Copy(ExtNo), aid = Copy(AID), tenant = Copy(Tenant);
  const std::optional<SRefusal> refused = FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                                        {aid, LIMIT_AID, TEXT_REFUSE_AID_LOGIN},
                                        {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT_LOGIN}});
  if (refused) {
    WriteLogText(refused->text, refused->nLimit);
    return 0;
  }
  std::shared_ptr<CORVInterface> link = bMain ? m_dlg.MainLink() : m_dlg.SubLink();
  const bool outcome = link ? SendLogoutPacket(*link, N(ExtNo), N(AID), N(Tenant)) : false;
  WriteLog(bMain ? "LogOffFromORV : Tenant(%s), DN(%s), ID(%s)" : "LogOffFromORV2 : Tenant(%s), DN(%s), ID(%s)",
           tenant.c_str(), ext.c_str(), aid.c_str());
  return outcome ? 1 : 0;
}

int16_t CTessorCtrl::LogOffFromORV(const char* ExtNo, const char* AID, const char* Tenant) {
  return LogOff(true, ExtNo, AID, Tenant);
}
int16_t CTessorCtrl::LogOffFromORV2(const char* ExtNo, const char* AID, const char* Tenant) {
  return LogOff(false, ExtNo, AID, Tenant);
}

void CTessorCtrl::GetCallID(const char* ExtNo, const char* AID, const char* Tenant) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  WriteLog("call GetCallID.");
  const std::string ext = Copy(ExtNo), aid = Copy(AID), tenant = Copy(Tenant);
  const std::optional<SRefusal> refused = FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                                        {aid, LIMIT_AID, TEXT_REFUSE_AID},
                                        {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT}});
  if (refused) {
    WriteLogText(refused->text, refused->nLimit);
    return;
  }
  m_dlg.GetCallID(N(ExtNo), N(AID), N(Tenant));
  WriteLog("GetCallID : Tenant(%s), DN(%s), ID(%s)", tenant.c_str(), ext.c_str(), aid.c_str());
}

bool CTessorCtrl::DisconnectFromORV() {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  g_bRun = false;  // before the links are torn down
  m_dlg.DisconnectAll();
  return true;
}

std::string CTessorCtrl::GetVersion() { return m_strVersion; }

// ---- call information -------------------------------------------------------------

void CTessorCtrl::SendMarkInfo(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  const std::string ext = Copy(ExtNo), callID = Copy(CallID), aid = Copy(AID), tenant = Copy(Tenant);
  const std::optional<SRefusal> refused = FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                                        {aid, LIMIT_AID, TEXT_REFUSE_AID},
                                        {callID, LIMIT_CALLID, TEXT_REFUSE_CALLID},
                                        {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT}});
  if (refused) {
    WriteLog("SendMarkInfo : %s", FormatText(refused->text, refused->nLimit).c_str());
    return;
  }
  m_dlg.SendMarkInfo(N(ExtNo), N(CallID), N(AID), N(Tenant));
  WriteLog("SendMarkInfo : Tenant(%s), DN(%s), ID(%s), CALLID(%s)", tenant.c_str(), ext.c_str(), aid.c_str(),
           callID.c_str());
}

void CTessorCtrl::SendBasicInfo(const char* ExtNo, const char* CallID, const char* ANI, const char* DNIS,
                                const char* AID, const char* Tenant, int16_t type) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  const std::string ext = Copy(ExtNo), callID = Copy(CallID), aid = Copy(AID), tenant = Copy(Tenant);
  std::string ani = Copy(ANI), dnis = Copy(DNIS);
  NullRule(ani);
  NullRule(dnis);
  const std::optional<SRefusal> refused = FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                                        {aid, LIMIT_AID, TEXT_REFUSE_AID},
                                        {ani, LIMIT_ANI, TEXT_REFUSE_ANI},
                                        {dnis, LIMIT_DNIS, TEXT_REFUSE_DNIS},
                                        {callID, LIMIT_CALLID, TEXT_REFUSE_CALLID},
                                        {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT}});
  if (refused) {
    WriteLog("SendBasicInfo : %s", FormatText(refused->text, refused->nLimit).c_str());
    return;
  }
  m_dlg.SendBasicInfo(N(ExtNo), N(CallID), ani.c_str(), dnis.c_str(), N(AID), N(Tenant), type);
  WriteLog("SendBasicInfo : Tenant(%s), DN(%s), ID(%s), CALLID(%s), ANI(%s), DNIS(%s), TYPE(%d)", tenant.c_str(),
           ext.c_str(), aid.c_str(), callID.c_str(), ani.c_str(), dnis.c_str(), static_cast<int>(type));
}

void CTessorCtrl::SendPostInfo(const char* ExtNo, const char* CallID, const char* start, const char* desc,
                               const char* AID, const char* Tenant) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  const std::string ext = Copy(ExtNo), callID = Copy(CallID), aid = Copy(AID), tenant = Copy(Tenant);
  std::string startTime = Copy(start), note = Copy(desc);
  NullRule(note);
  NullRule(startTime);
  const std::optional<SRefusal> refused = FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                                        {aid, LIMIT_AID, TEXT_REFUSE_AID},
                                        {note, LIMIT_DESC, TEXT_REFUSE_DESC},
                                        {callID, LIMIT_CALLID, TEXT_REFUSE_CALLID},
                                        {startTime, LIMIT_START, TEXT_REFUSE_START},
                                        {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT}});
  if (refused) {
    WriteLog("SendPostInfo : %s", FormatText(refused->text, refused->nLimit).c_str());
    return;
  }
  m_dlg.SendPostInfo(N(ExtNo), N(CallID), startTime.c_str(), note.c_str(), N(AID), N(Tenant));
  WriteLog("SendPostInfo : Tenant(%s), DN(%s), ID(%s), CALLID(%s), DESC(%s)", tenant.c_str(), ext.c_str(),
           aid.c_str(), callID.c_str(), note.c_str());
}

void CTessorCtrl::SendExtendInfo(const char* ExtNo, const char* CallID, const char* name, const char* cid,
                                 const char* ctel, const char* info1, const char* info2, const char* info3,
                                 const char* info4, const char* info5, const char* AID, const char* Tenant) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  // Parameter order; an absent text compares as the text "(null)".
  std::string args[12] = {Copy(ExtNo), Copy(CallID), Copy(name),  Copy(cid),   Copy(ctel), Copy(info1),
                          Copy(info2), Copy(info3),  Copy(info4), Copy(info5), Copy(AID),  Copy(Tenant)};
  bool bDuplicate = true;
  for (int i = 0; i < 12 && bDuplicate; ++i) bDuplicate = EqualsAsciiNoCase(args[i], m_lastExtendInfo[i]);
  if (bDuplicate) {
    WriteLog(
        "SendExtendInfo All info duplicate - EXTNO(%s), CALLID(%s), NAME(%s), CID(%s), CTEL(%s), INFO1(%s), "
        "INFO2(%s), INFO3(%s), INFO4(%s), INFO5(%s), ID(%s), TENANT(%s)",
        args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str(), args[4].c_str(), args[5].c_str(),
        args[6].c_str(), args[7].c_str(), args[8].c_str(), args[9].c_str(), args[10].c_str(), args[11].c_str());
    return;
  }
  // The null-text rule, in its order: name, cid, info1..info5, ctel.
  for (int i : {2, 3, 5, 6, 7, 8, 9, 4}) NullRule(args[i]);
  // Stored before the length test: a refused call is remembered too.
  for (int i = 0; i < 12; ++i) m_lastExtendInfo[i] = args[i];
  const std::string &ext = args[0], &callID = args[1], &nm = args[2], &cidv = args[3], &tel = args[4],
                    &i1 = args[5], &i2 = args[6], &i3 = args[7], &i4 = args[8], &i5 = args[9], &aid = args[10],
                    &tenant = args[11];
  const std::optional<SRefusal> refused = FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                                        {aid, LIMIT_AID, TEXT_REFUSE_AID},
                                        {callID, LIMIT_CALLID, TEXT_REFUSE_CALLID},
                                        {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT},
                                        {i1, LIMIT_INFO12, TEXT_REFUSE_INFO1},
                                        {i2, LIMIT_INFO12, TEXT_REFUSE_INFO2},
                                        {i3, LIMIT_INFO345, TEXT_REFUSE_INFO3},
                                        {i4, LIMIT_INFO345, TEXT_REFUSE_INFO4},
                                        {i5, LIMIT_INFO345, TEXT_REFUSE_INFO5},
                                        {nm, LIMIT_NAME, TEXT_REFUSE_NAME},
                                        {cidv, LIMIT_CID, TEXT_REFUSE_CID},
                                        {tel, LIMIT_CTEL, TEXT_REFUSE_CTEL}});
  if (refused) {
    WriteLog("SendExtendInfo : %s", FormatText(refused->text, refused->nLimit).c_str());
    return;
  }
  m_dlg.SendExtendInfo(N(ExtNo), N(CallID), nm.c_str(), cidv.c_str(), tel.c_str(), i1.c_str(), i2.c_str(),
                       i3.c_str(), i4.c_str(), i5.c_str(), N(AID), N(Tenant));
  WriteLog(
      "SendExtendInfo : Tenant(%s), DN(%s), ID(%s), CALLID(%s), NAME(%s), CID(%s), CTEL(%s), INFO1(%s), INFO2(%s), "
      "INFO3(%s), INFO4(%s), INFO5(%s)",
      tenant.c_str(), ext.c_str(), aid.c_str(), callID.c_str(), nm.c_str(), cidv.c_str(), tel.c_str(), i1.c_str(),
      i2.c_str(), i3.c_str(), i4.c_str(), i5.c_str());
}

// ---- selective recording and tuning ---------------------------------------------------

template <typename ManagerFn>
void CTessorCtrl::Selection(const char* method, const char* ExtNo, const char* CallID, const char* AID,
                            const char* Tenant, ManagerFn fn) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  const std::string ext = Copy(ExtNo), callID = Copy(CallID), aid = Copy(AID), tenant = Copy(Tenant);
  const std::optional<SRefusal> refused = FirstRefused({{ext, LIMIT_EXTNO, TEXT_REFUSE_EXTNO},
                                        {aid, LIMIT_AID, TEXT_REFUSE_AID},
                                        {callID, LIMIT_CALLID, TEXT_REFUSE_CALLID},
                                        {tenant, LIMIT_TENANT, TEXT_REFUSE_TENANT}});
  if (refused) {
    WriteLogText(refused->text, refused->nLimit);  // the whole line, no method name
    return;
  }
  fn(N(ExtNo), N(CallID), N(AID), N(Tenant));
  WriteLog("%s : Tenant(%s), DN(%s), ID(%s), CALLID(%s)", method, tenant.c_str(), ext.c_str(), aid.c_str(),
           callID.c_str());
}

void CTessorCtrl::SetSelectionRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  Selection("SetSelectionRecord", ExtNo, CallID, AID, Tenant,
            [this](const char* e, const char* c, const char* a, const char* t) { m_dlg.SetSelectionRecord(e, c, a, t); });
}

void CTessorCtrl::StartSelectRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  Selection("StartSelectRecord", ExtNo, CallID, AID, Tenant,
            [this](const char* e, const char* c, const char* a, const char* t) { m_dlg.StartSelectRecord(e, c, a, t); });
}

void CTessorCtrl::StopSelectRecord(const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  Selection("StopSelectRecord", ExtNo, CallID, AID, Tenant,
            [this](const char* e, const char* c, const char* a, const char* t) { m_dlg.StopSelectRecord(e, c, a, t); });
}

void CTessorCtrl::SetInterval(int16_t interval) {
  TESSOR_ASSERT_ON_THREAD(m_hostThread);
  m_nInterval = interval;  // any I2, sign-extended
  WriteLog("SetInterval - %d", m_nInterval);
}

}  // namespace tessor
