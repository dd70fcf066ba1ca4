#include "link/Decoder.h"

#include "common/Log.h"
#include "common/RunFlag.h"
#include "common/Texts.h"
#include "common/WindowMessages.h"
#include "link/Protocol.h"
#include "platform/MessageBox.h"

namespace tessor {

namespace {

struct SExpected {
  uint16_t nCode;
  int nSize;
  const char* szSizeError;
};

constexpr SExpected kExpected[] = {
    {C_LOGIN_RESULT, SIZE_LOGIN_RESULT, "LOGIN RESULT INVALID PACKET SIZE - %d : %d"},
    {C_LOGOUT_RESULT, SIZE_LOGOUT_RESULT, "LOGOUT RESULT INVALID PACKET SIZE - %d : %d"},
    {C_GET_RECORD_CALLID_RESPONSE, SIZE_GET_RECORD_CALLID_RESPONSE,
     "GET RECORD CALLID RESPONSE INVALID PACKET SIZE - %d : %d"},
    {C_RECORD_TYPE_CHANGED, SIZE_RECORD_TYPE_CHANGED, "RECORD TYPE CHANGED INVALID PACKET SIZE - %d : %d"},
    {C_AGENT_STATUS_CHANGED, SIZE_AGENT_STATUS_CHANGED, "AGENT STATUS CHANGED INVALID PACKET SIZE - %d : %d"},
    {C_LOGOUT_ALARM, SIZE_LOGOUT_ALARM, "LOGOUT ALARM INVALID PACKET SIZE - %d : %d"},
};

void Show(const SMessageBox& box) {
  if (box.bShow) platform::ShowMessageBox(box.hOwner, box.strCaption, box.strText, box.nStyle);
}

// Sends one of the control's messages; the owner is asked only for the
// window, so no owner call is held while the host thread handles it.
void SendToControl(CORVInterface& link, platform::UINT msg, platform::LPARAM lParam) {
  platform::HWND hWnd = 0;
  {
    CORVInterface::COwnerCall call(link);
    if (!call) return;
    hWnd = call.Get()->GetControlHwnd();
  }
  if (hWnd != 0) platform::SendMessage(hWnd, msg, 0, lParam);
}

void OnLoginResult(CORVInterface& link, const uint8_t* p) {
  const uint16_t result = GetU16(p + layout::LOGIN_RESULT_CODE);
  SMessageBox box;
  box.bShow = true;
  box.strCaption = APP_BOX_CAPTION;
  box.nStyle = platform::MB_OK | platform::MB_ICONEXCLAMATION;
  switch (result) {
    case 0: box.strText = GetText(TEXT_LOGIN_RESULT_0); break;
    case 1: box.strText = GetText(TEXT_LOGIN_RESULT_1); break;
    case 2: box.strText = GetText(TEXT_LOGIN_RESULT_2); break;
    case 3:
      SendToControl(link, WM_LOGIN_SUCCESS, GetU16(p + layout::LOGIN_RESULT_RECTYPE));
      return;
    case 4: box.strText = GetText(TEXT_LOGIN_RESULT_4); break;
    case 5: box.strText = GetText(TEXT_LOGIN_RESULT_5); break;
    case 6: box.strText = GetText(TEXT_LOGIN_RESULT_6); break;
    case 7: {
      CORVInterface::COwnerCall call(link);
      box.hOwner = call ? call.Get()->GetOwnerHwnd() : 0;
      box.strCaption = GetText(TEXT_CAPTION_ERROR);
      box.strText = GetText(TEXT_LOGIN_RESULT_7);
      box.nStyle = platform::MB_OK | platform::MB_ICONERROR;
      break;
    }
    default:
      return;  // 8 and above: nothing at all
  }
  Show(box);  // with no owner call held: tear-down never waits on the agent
}

}  // namespace

void DecodePacket(CORVInterface& link, std::unique_ptr<PACKET_BUFFER> pPacket) {
  if (!pPacket) return;
  const uint8_t* p = pPacket->data;
  const uint16_t code = GetU16(p + 2);
  const int declared = static_cast<int>(GetU16(p + 4)) + static_cast<int>(GetU16(p + 6));

  const SExpected* expected = nullptr;
  for (const auto& e : kExpected)
    if (e.nCode == code) expected = &e;
  if (expected == nullptr) return;  // unknown codes are dropped without a trace
  if (declared != expected->nSize) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    WriteLog(expected->szSizeError, expected->nSize, declared);  // our own fixed formats
#pragma GCC diagnostic pop
    return;
  }

  switch (code) {
    case C_LOGIN_RESULT:
      OnLoginResult(link, p);
      break;
    case C_LOGOUT_RESULT: {
      CORVInterface::COwnerCall call(link);
      if (call) call.Get()->NotifyDisconnected(p[layout::LOGOUT_RESULT_FLAG] != 0 ? 0 : 1);
      break;
    }
    case C_GET_RECORD_CALLID_RESPONSE: {
      char szCallID[W_CALLID];
      GetText(p + layout::CALLID_RESPONSE_CALLID, W_CALLID - 1, szCallID);
      CORVInterface::COwnerCall call(link);
      if (call) call.Get()->NotifyCallID(szCallID);
      break;
    }
    case C_RECORD_TYPE_CHANGED: {
      const uint16_t value = GetU16(p + layout::CHANGED_VALUE);
      WriteLog("record type changed - %d", value);
      SendToControl(link, WM_RECTYPE_CHANGE, value);
      break;
    }
    case C_AGENT_STATUS_CHANGED: {
      const uint16_t value = GetU16(p + layout::CHANGED_VALUE);
      WriteLog("agent status changed - %d", value);
      SendToControl(link, WM_AGENT_STATUS_CHANGE, value);
      break;
    }
    case C_LOGOUT_ALARM: {
      WriteLog("C_LOGOUT_ALARM - g_bRun set false");
      g_bRun = false;
      char szAgent[W_ALARM_AGENT + 1];
      GetText(p + layout::LOGOUT_ALARM_AGENT, W_ALARM_AGENT, szAgent);
      SMessageBox box;
      {
        CORVInterface::COwnerCall call(link);
        if (call) call.Get()->ShowLogoutAlarm(szAgent, &box);
      }
      Show(box);
      break;
    }
    default:
      break;
  }
  // pPacket is freed here, whatever happened above.
}

}  // namespace tessor
