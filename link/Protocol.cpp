#include "link/Protocol.h"

#include <stdio.h>
#include <string.h>

#include "platform/Clock.h"

namespace tessor {

void PutText(uint8_t* field, size_t width, const char* text) {
  if (text == nullptr || width == 0) return;  // absent: an empty field
  size_t n = ::strnlen(text, width - 1);
  ::memcpy(field, text, n);
}

size_t GetText(const uint8_t* field, size_t max_len, char* out) {
  size_t n = 0;
  while (n < max_len && field[n] != 0) {
    out[n] = static_cast<char>(field[n]);
    ++n;
  }
  out[n] = '\0';
  return n;
}

void BuildHeader(uint8_t* buf, uint16_t lead, uint16_t code, size_t total) {
  PutU16(buf + 0, lead);
  PutU16(buf + 2, code);
  PutU16(buf + 4, HEADER_LENGTH);
  PutU16(buf + 6, static_cast<uint16_t>(total - HEADER_LENGTH));
  // Reserved1 and Reserved2 stay zero.
}

void BuildLogin(uint8_t (&buf)[SIZE_LOGIN], const char* ExtNo, const char* AID, const char* PWD, const char* Tenant) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_LOGIN, C_LOGIN, sizeof(buf));
  PutText(buf + layout::LOGIN_EXTNO, W_EXTNO, ExtNo);
  PutText(buf + layout::LOGIN_TENANT, W_TENANT, Tenant);
  PutText(buf + layout::LOGIN_AID, W_AID, AID);
  PutText(buf + layout::LOGIN_PWD, W_PWD, PWD);
}

void BuildLogout(uint8_t (&buf)[SIZE_LOGOUT], const char* ExtNo, const char* AID, const char* Tenant) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_LOGOUT, sizeof(buf));
  PutText(buf + layout::LOGOUT_EXTNO, W_EXTNO, ExtNo);
  PutText(buf + layout::LOGOUT_TENANT, W_TENANT, Tenant);
  PutText(buf + layout::LOGOUT_AID, W_AID, AID);
}

void BuildGetCallID(uint8_t (&buf)[SIZE_GET_RECORD_CALLID], const char* ExtNo, const char* AID, const char* Tenant) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_GET_RECORD_CALLID, sizeof(buf));
  PutText(buf + layout::GETCALLID_AID, W_AID, AID);
  PutText(buf + layout::GETCALLID_TENANT, W_TENANT, Tenant);
  PutText(buf + layout::GETCALLID_EXTNO, W_EXTNO, ExtNo);
}

static void PutInfoHead(uint8_t* buf, const char* ExtNo, const char* CallID, const char* AID, const char* Tenant) {
  PutText(buf + layout::INFO_AID, W_AID, AID);
  PutText(buf + layout::INFO_TENANT, W_TENANT, Tenant);
  PutText(buf + layout::INFO_CALLID, W_CALLID, CallID);
  PutText(buf + layout::INFO_EXTNO, W_EXTNO, ExtNo);
}

void BuildMarkInfo(uint8_t (&buf)[SIZE_MARK_INFO], const char* ExtNo, const char* CallID, const char* AID,
                   const char* Tenant, const char* szTime) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_MARK_INFO, sizeof(buf));
  PutInfoHead(buf, ExtNo, CallID, AID, Tenant);
  PutText(buf + layout::MARK_TIME, W_TIME, szTime);
}

void BuildBasicInfo(uint8_t (&buf)[SIZE_BASIC_INFO], const char* ExtNo, const char* CallID, const char* ANI,
                    const char* DNIS, const char* AID, const char* Tenant, int16_t type) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_BASIC_INFO, sizeof(buf));
  PutInfoHead(buf, ExtNo, CallID, AID, Tenant);
  PutText(buf + layout::BASIC_ANI, W_ANI, ANI);
  PutText(buf + layout::BASIC_DNIS, W_DNIS, DNIS);
  PutU16(buf + layout::BASIC_TYPE, static_cast<uint16_t>(type));
}

void BuildPostInfo(uint8_t (&buf)[SIZE_POST_INFO], const char* ExtNo, const char* CallID, const char* start,
                   const char* desc, const char* AID, const char* Tenant) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_POST_INFO, sizeof(buf));
  PutInfoHead(buf, ExtNo, CallID, AID, Tenant);
  PutText(buf + layout::POST_START, W_TIME, start);
  PutText(buf + layout::POST_DESC, W_DESC, desc);
}

void BuildExtendInfo(uint8_t (&buf)[SIZE_EXTEND_INFO], const char* ExtNo, const char* CallID, const char* name,
                     const char* cid, const char* ctel, const char* info1, const char* info2, const char* info3,
                     const char* info4, const char* info5, const char* AID, const char* Tenant) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_EXTEND_INFO, sizeof(buf));
  PutInfoHead(buf, ExtNo, CallID, AID, Tenant);
  PutText(buf + layout::EXTEND_CID, W_CID, cid);
  PutText(buf + layout::EXTEND_CTEL, W_CTEL, ctel);
  PutText(buf + layout::EXTEND_NAME, W_NAME, name);
  PutText(buf + layout::EXTEND_INFO1, W_INFO12, info1);
  PutText(buf + layout::EXTEND_INFO2, W_INFO12, info2);
  PutText(buf + layout::EXTEND_INFO3, W_INFO345, info3);
  PutText(buf + layout::EXTEND_INFO4, W_INFO345, info4);
  PutText(buf + layout::EXTEND_INFO5, W_INFO345, info5);
}

void BuildSelection(uint8_t (&buf)[SIZE_SELECTION], uint16_t code, const char* ExtNo, const char* CallID,
                    const char* AID, const char* Tenant) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, code, sizeof(buf));
  PutInfoHead(buf, ExtNo, CallID, AID, Tenant);
  buf[layout::SELECTION_FLAG] = 1;
}

void BuildKeepAlive(uint8_t (&buf)[SIZE_KEEP_ALIVE]) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_KEEP_ALIVE, sizeof(buf));
}

void FormatMarkTime(char (&out)[W_TIME]) {
  const platform::SLocalTime t = platform::GetLocalTime();
  ::snprintf(out, sizeof(out), "%04d%02d%02d%02d%02d%02d", t.nYear % 10000, t.nMonth % 100, t.nDay % 100,
             t.nHour % 100, t.nMinute % 100, t.nSecond % 100);
}

}  // namespace tessor
