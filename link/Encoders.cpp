// The eleven encoders: build a packet in a stack buffer of its exact size
// and hand it to the link's socket in one send.
#include "common/LastLogin.h"
#include "common/Log.h"
#include "link/ORVInterface.h"
#include "link/Protocol.h"

namespace tessor {

namespace {
const char* S(const char* p) { return p != nullptr ? p : ""; }

template <size_t N>
bool SendBuffer(CORVInterface& link, const uint8_t (&buf)[N]) {
  return link.m_socket.Send(buf, N);
}
}  // namespace

bool SendLoginPacket(CORVInterface& link, const char* ExtNo, const char* AID, const char* PWD, const char* Tenant) {
  uint8_t buf[SIZE_LOGIN];
  BuildLogin(buf, ExtNo, AID, PWD, Tenant);
  if (SendBuffer(link, buf))
    WriteLog("TENANT(%s), AID(%s), DN(%s) login packet send success", S(Tenant), S(AID), S(ExtNo));
  else
    WriteLog("TENANT(%s), AID(%s), DN(%s) login packet send fail", S(Tenant), S(AID), S(ExtNo));
  LastLogin().Store(ExtNo, AID, PWD, Tenant);
  const SLastLogin stored = LastLogin().Snapshot();
  // The password never reaches the log; the packet carries it.
  WriteLog("1- TENANT(%s), AID(%s), PWD(****), DN(%s)", stored.strTENANT.c_str(), stored.strAID.c_str(),
           stored.strDN.c_str());
  return true;
}

bool SendLogoutPacket(CORVInterface& link, const char* ExtNo, const char* AID, const char* Tenant) {
  uint8_t buf[SIZE_LOGOUT];
  BuildLogout(buf, ExtNo, AID, Tenant);
  SendBuffer(link, buf);
  return true;
}

bool SendGetCallIDPacket(CORVInterface& link, const char* ExtNo, const char* AID, const char* Tenant) {
  uint8_t buf[SIZE_GET_RECORD_CALLID];
  BuildGetCallID(buf, ExtNo, AID, Tenant);
  return SendBuffer(link, buf);
}

bool SendMarkInfoPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* AID,
                        const char* Tenant) {
  char szTime[W_TIME];
  FormatMarkTime(szTime);
  uint8_t buf[SIZE_MARK_INFO];
  BuildMarkInfo(buf, ExtNo, CallID, AID, Tenant, szTime);
  return SendBuffer(link, buf);
}

bool SendBasicInfoPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* ANI,
                         const char* DNIS, const char* AID, const char* Tenant, int16_t type) {
  uint8_t buf[SIZE_BASIC_INFO];
  BuildBasicInfo(buf, ExtNo, CallID, ANI, DNIS, AID, Tenant, type);
  return SendBuffer(link, buf);
}

bool SendPostInfoPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* start,
                        const char* desc, const char* AID, const char* Tenant) {
  uint8_t buf[SIZE_POST_INFO];
  BuildPostInfo(buf, ExtNo, CallID, start, desc, AID, Tenant);
  return SendBuffer(link, buf);
}

bool SendExtendInfoPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* name,
                          const char* cid, const char* ctel, const char* info1, const char* info2, const char* info3,
                          const char* info4, const char* info5, const char* AID, const char* Tenant) {
  uint8_t buf[SIZE_EXTEND_INFO];
  BuildExtendInfo(buf, ExtNo, CallID, name, cid, ctel, info1, info2, info3, info4, info5, AID, Tenant);
  return SendBuffer(link, buf);
}

void SendKeepAlivePacket(CORVInterface& link) {
  uint8_t buf[SIZE_KEEP_ALIVE];
  BuildKeepAlive(buf);
  SendBuffer(link, buf);
}

static bool SendSelection(CORVInterface& link, uint16_t code, const char* ExtNo, const char* CallID, const char* AID,
                          const char* Tenant) {
  uint8_t buf[SIZE_SELECTION];
  BuildSelection(buf, code, ExtNo, CallID, AID, Tenant);
  return SendBuffer(link, buf);
}

bool SendSelectionRecordPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* AID,
                               const char* Tenant) {
  return SendSelection(link, C_SET_SELECTION_RECORD, ExtNo, CallID, AID, Tenant);
}

bool SendStartSelectRecordPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* AID,
                                 const char* Tenant) {
  return SendSelection(link, C_START_SELECT_RECORD, ExtNo, CallID, AID, Tenant);
}

bool SendStopSelectRecordPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* AID,
                                const char* Tenant) {
  return SendSelection(link, C_STOP_SELECT_RECORD, ExtNo, CallID, AID, Tenant);
}

}  // namespace tessor
