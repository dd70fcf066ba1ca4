#include "control/Dispatch.h"

#include "common/Texts.h"

namespace tessor {

namespace {

constexpr VT T = VT::BSTR;
constexpr VT I2 = VT::I2;

std::vector<SMemberDesc> BuildInterface() {
  using K = EMemberKind;
  return {
      {1, "ConnectToORV", K::kMethod, VT::I2, {{"server", T}, {"port", I2}}, true},
      {2, "LoginToORV", K::kMethod, VT::I2, {{"ExtNo", T}, {"AID", T}, {"PWD", T}, {"Tenant", T}}, true},
      {3, "LogOffFromORV", K::kMethod, VT::I2, {{"ExtNo", T}, {"AID", T}, {"Tenant", T}}, true},
      {4, "GetCallID", K::kMethod, VT::EMPTY, {{"ExtNo", T}, {"AID", T}, {"Tenant", T}}, true},
      {5, "CallID", K::kProperty, VT::BSTR, {}, false},
      {6, "SendMarkInfo", K::kMethod, VT::EMPTY, {{"ExtNo", T}, {"CallID", T}, {"AID", T}, {"Tenant", T}}, true},
      {7, "SendBasicInfo", K::kMethod, VT::EMPTY,
       {{"ExtNo", T}, {"CallID", T}, {"ANI", T}, {"DNIS", T}, {"AID", T}, {"Tenant", T}, {"type", I2}}, true},
      {8, "SendPostInfo", K::kMethod, VT::EMPTY,
       {{"ExtNo", T}, {"CallID", T}, {"start", T}, {"desc", T}, {"AID", T}, {"Tenant", T}}, true},
      {9, "SendExtendInfo", K::kMethod, VT::EMPTY,
       {{"ExtNo", T}, {"CallID", T}, {"name", T}, {"cid", T}, {"ctel", T}, {"info1", T}, {"info2", T},
        {"info3", T}, {"info4", T}, {"info5", T}, {"AID", T}, {"Tenant", T}},
       true},
      {10, "ConnectToORV2", K::kMethod, VT::I2, {{"server", T}, {"port", I2}}, true},
      {11, "LoginToORV2", K::kMethod, VT::I2, {{"ExtNo", T}, {"AID", T}, {"PWD", T}, {"Tenant", T}}, true},
      {12, "LogOffFromORV2", K::kMethod, VT::I2, {{"ExtNo", T}, {"AID", T}, {"Tenant", T}}, true},
      {13, "SetSelectionRecord", K::kMethod, VT::EMPTY, {{"ExtNo", T}, {"CallID", T}, {"AID", T}, {"Tenant", T}},
       true},
      {14, "StartSelectRecord", K::kMethod, VT::EMPTY, {{"ExtNo", T}, {"CallID", T}, {"AID", T}, {"Tenant", T}},
       true},
      {15, "StopSelectRecord", K::kMethod, VT::EMPTY, {{"ExtNo", T}, {"CallID", T}, {"AID", T}, {"Tenant", T}},
       true},
      {16, "SetInterval", K::kMethod, VT::EMPTY, {{"interval", I2}}, true},
      {17, "AStatus", K::kProperty, VT::UI2, {}, false},
      {18, "RType", K::kProperty, VT::UI2, {}, false},
      {19, "GetVersion", K::kMethod, VT::BSTR, {}, true},
      {20, "OcxVersion", K::kProperty, VT::BSTR, {}, false},
      {21, "DisconnectFromORV", K::kMethod, VT::BOOL, {}, false},
  };
}

std::vector<SMemberDesc> BuildEvents() {
  using K = EMemberKind;
  constexpr VT UI2 = VT::UI2;
  return {
      {DISPID_EVENT_SETCALLID, "SetCallID", K::kEvent, VT::EMPTY, {{"CallID", T}}, true},
      {DISPID_EVENT_LOGINSUCCESS, "LoginSuccess", K::kEvent, VT::EMPTY, {{"type", UI2}}, true},
      {DISPID_EVENT_RECTYPECHANGE, "RecTypeChange", K::kEvent, VT::EMPTY, {{"type", UI2}}, true},
      {DISPID_EVENT_AGENTSTATUSCHANGE, "AgentStatusChange", K::kEvent, VT::EMPTY, {{"status", UI2}}, true},
      {DISPID_EVENT_DISCONNECTED, "Disconnected", K::kEvent, VT::EMPTY, {{"status", UI2}}, true},
      {DISPID_EVENT_SETCURRENTCALLID, "SetCurrentCallID", K::kEvent, VT::EMPTY, {{"CallID", T}}, true},
      {DISPID_EVENT_SETTELNUMBER, "SetTelNumber", K::kEvent, VT::EMPTY, {{"Phone", T}}, true},
  };
}

// Host values accepted for a parameter: texts for texts, and for an I2
// any integer that fits 16 signed bits.
EDispStatus ToText(const CVariant& v, const char** out) {
  if (v.vt == VT::EMPTY) {
    *out = nullptr;  // absent
    return DISP_OK;
  }
  if (v.vt != VT::BSTR) return DISP_BAD_ARG_TYPE;
  *out = v.TextOrNull();
  return DISP_OK;
}

EDispStatus ToI2(const CVariant& v, int16_t* out) {
  if (v.vt != VT::I2 && v.vt != VT::I4 && v.vt != VT::UI2) return DISP_BAD_ARG_TYPE;
  if (v.n < -32768 || v.n > 32767) return DISP_OUT_OF_RANGE;
  *out = static_cast<int16_t>(v.n);
  return DISP_OK;
}

EDispStatus ToUI2(const CVariant& v, uint16_t* out) {
  if (v.vt != VT::I2 && v.vt != VT::I4 && v.vt != VT::UI2) return DISP_BAD_ARG_TYPE;
  if (v.n < 0 || v.n > 65535) return DISP_OUT_OF_RANGE;
  *out = static_cast<uint16_t>(v.n);
  return DISP_OK;
}

}  // namespace

const SLibraryDesc& LibraryDescription() {
  static const SLibraryDesc desc{"TessorLib", 1, 0, 0x409, "Tessor", "_DTessor", "_DTessorEvents"};
  return desc;
}

const std::vector<SMemberDesc>& InterfaceDescription() {
  static const std::vector<SMemberDesc>* table = new std::vector<SMemberDesc>(BuildInterface());
  return *table;
}

const std::vector<SMemberDesc>& EventDescription() {
  static const std::vector<SMemberDesc>* table = new std::vector<SMemberDesc>(BuildEvents());
  return *table;
}

std::string HelpString(const SMemberDesc& m) {
  if (!m.bHelp) return std::string();
  return std::string(GetText(TEXT_HELP_METHOD_PREFIX)) + m.szName;
}

const SMemberDesc* FindMember(const std::string& name) {
  for (const auto& m : InterfaceDescription())
    if (name == m.szName) return &m;
  return nullptr;
}

const SMemberDesc* FindMember(int dispid) {
  for (const auto& m : InterfaceDescription())
    if (m.nDispId == dispid) return &m;
  return nullptr;
}

EDispStatus InvokeMethod(CTessorCtrl& ctrl, const SMemberDesc& m, const std::vector<CVariant>& args,
                         CVariant* pResult) {
  if (!ctrl.CalledOnHostThread()) return DISP_WRONG_THREAD;
  if (m.kind != EMemberKind::kMethod) return DISP_NOT_A_METHOD;
  if (args.size() != m.params.size()) return DISP_BAD_ARG_COUNT;
  // Convert every argument before anything runs: a bad one changes nothing.
  const char* t[12] = {nullptr};
  int16_t n = 0;
  int ti = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    EDispStatus st = m.params[i].vt == VT::BSTR ? ToText(args[i], &t[ti++]) : ToI2(args[i], &n);
    if (st != DISP_OK) return st;
  }
  CTessorCtrl::CBusyScope busy(ctrl);
  CVariant result;
  switch (m.nDispId) {
    case 1: result = CVariant::I2(ctrl.ConnectToORV(t[0], n)); break;
    case 2: result = CVariant::I2(ctrl.LoginToORV(t[0], t[1], t[2], t[3])); break;
    case 3: result = CVariant::I2(ctrl.LogOffFromORV(t[0], t[1], t[2])); break;
    case 4: ctrl.GetCallID(t[0], t[1], t[2]); break;
    case 6: ctrl.SendMarkInfo(t[0], t[1], t[2], t[3]); break;
    case 7: ctrl.SendBasicInfo(t[0], t[1], t[2], t[3], t[4], t[5], n); break;
    case 8: ctrl.SendPostInfo(t[0], t[1], t[2], t[3], t[4], t[5]); break;
    case 9: ctrl.SendExtendInfo(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9], t[10], t[11]); break;
    case 10: result = CVariant::I2(ctrl.ConnectToORV2(t[0], n)); break;
    case 11: result = CVariant::I2(ctrl.LoginToORV2(t[0], t[1], t[2], t[3])); break;
    case 12: result = CVariant::I2(ctrl.LogOffFromORV2(t[0], t[1], t[2])); break;
    case 13: ctrl.SetSelectionRecord(t[0], t[1], t[2], t[3]); break;
    case 14: ctrl.StartSelectRecord(t[0], t[1], t[2], t[3]); break;
    case 15: ctrl.StopSelectRecord(t[0], t[1], t[2], t[3]); break;
    case 16: ctrl.SetInterval(n); break;
    case 19: result = CVariant::Text(ctrl.GetVersion()); break;
    case 21: result = CVariant::Bool(ctrl.DisconnectFromORV()); break;
    default: return DISP_UNKNOWN_NAME;
  }
  if (pResult != nullptr) *pResult = result;
  return DISP_OK;
}

EDispStatus GetProperty(CTessorCtrl& ctrl, const SMemberDesc& m, CVariant* pValue) {
  if (!ctrl.CalledOnHostThread()) return DISP_WRONG_THREAD;
  if (m.kind != EMemberKind::kProperty) return DISP_NOT_A_PROPERTY;
  CVariant v;
  switch (m.nDispId) {
    case 5: v = CVariant::Text(ctrl.GetCallIDProperty()); break;
    case 17: v = CVariant::UI2(ctrl.GetAStatus()); break;
    case 18: v = CVariant::UI2(ctrl.GetRType()); break;
    case 20: v = CVariant::Text(ctrl.GetOcxVersion()); break;
    default: return DISP_UNKNOWN_NAME;
  }
  if (pValue != nullptr) *pValue = v;
  return DISP_OK;
}

EDispStatus SetProperty(CTessorCtrl& ctrl, const SMemberDesc& m, const CVariant& value) {
  if (!ctrl.CalledOnHostThread()) return DISP_WRONG_THREAD;
  if (m.kind != EMemberKind::kProperty) return DISP_NOT_A_PROPERTY;
  if (m.vtResult == VT::BSTR) {
    const char* text = nullptr;
    EDispStatus st = ToText(value, &text);
    if (st != DISP_OK) return st;
    const std::string s = text != nullptr ? text : "";
    if (m.nDispId == 5)
      ctrl.SetCallIDProperty(s);
    else
      ctrl.SetOcxVersion(s);
    return DISP_OK;
  }
  uint16_t u = 0;
  EDispStatus st = ToUI2(value, &u);
  if (st != DISP_OK) return st;
  if (m.nDispId == 17)
    ctrl.SetAStatus(u);
  else
    ctrl.SetRType(u);
  return DISP_OK;
}

const char* DispStatusText(EDispStatus status) {
  switch (status) {
    case DISP_OK: return "ok";
    case DISP_WRONG_THREAD: return "called from a thread other than the control's host thread";
    case DISP_UNKNOWN_NAME: return "unknown method or property";
    case DISP_BAD_ARG_COUNT: return "wrong number of arguments";
    case DISP_BAD_ARG_TYPE: return "wrong argument type";
    case DISP_OUT_OF_RANGE: return "integer out of range";
    case DISP_NOT_A_PROPERTY: return "not a property";
    case DISP_NOT_A_METHOD: return "not a method";
  }
  return "unknown status";
}

const char* VtName(VT vt) {
  switch (vt) {
    case VT::EMPTY: return "void";
    case VT::BSTR: return "BSTR";
    case VT::I2: return "I2";
    case VT::UI2: return "UI2";
    case VT::I4: return "I4";
    case VT::BOOL: return "BOOL";
  }
  return "?";
}

}  // namespace tessor
