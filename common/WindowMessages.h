// The six window messages through which results reach the control's window,
// always sent synchronously from a receive thread.
#pragma once

#include "platform/HostLoop.h"

namespace tessor {

constexpr platform::UINT WM_SET_CALLID = platform::WM_USER + 101;           // 0x465: id in the manager's m_szCallID
constexpr platform::UINT WM_LOGIN_SUCCESS = platform::WM_USER + 102;        // 0x466: lParam record type
constexpr platform::UINT WM_RECTYPE_CHANGE = platform::WM_USER + 103;       // 0x467: lParam record type
constexpr platform::UINT WM_AGENT_STATUS_CHANGE = platform::WM_USER + 104;  // 0x468: lParam agent status
constexpr platform::UINT WM_DISCONNECTED = platform::WM_USER + 105;         // 0x469: lParam reason code
constexpr platform::UINT WM_SET_TELNUMBER = platform::WM_USER + 106;        // 0x46a: number in m_szTelNumber

// Reason codes of WM_DISCONNECTED.
constexpr int DISCONNECT_LOGOUT_OK = 0;
constexpr int DISCONNECT_LOGOUT_FAILED = 1;
constexpr int DISCONNECT_LINK_LOST = 2;
constexpr int DISCONNECT_LOGOUT_ALARM = 9;

// The application message box: caption of the module, OK with exclamation.
constexpr const char* APP_BOX_CAPTION = "Tessor";

}  // namespace tessor
