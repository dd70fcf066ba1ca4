// The ORV wire protocol: the one place where packets are defined.
//
// Every packet, both ways, is a 16-byte PACKET_HEADER and a body whose size
// the message code fixes. Integers are little-endian with no byte-order
// conversion; text fields of width W carry at most W - 1 bytes and a zero,
// the rest zero; an absent text is an empty field. Packets are built in
// zero-filled buffers of their exact size, on the stack.
//
// The Build* functions only lay out bytes (no I/O) so that tests check
// them against golden bytes and the simulator reuses the layouts; the
// Send*Packet encoders of ORVInterface.h build and send.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessor {

#pragma pack(push, 1)
struct PACKET_HEADER {
  uint16_t Lead;
  uint16_t Code;
  uint16_t HeaderLength;
  uint16_t BodyLength;
  uint32_t Reserved1;
  uint32_t Reserved2;
};
#pragma pack(pop)
static_assert(sizeof(PACKET_HEADER) == 16, "the header is 16 bytes on the wire");

constexpr uint16_t HEADER_LENGTH = 16;
constexpr int MAX_PACKET_LENGTH = 4096;  // largest BodyLength accepted
constexpr int PACKET_BUFFER_SIZE = HEADER_LENGTH + MAX_PACKET_LENGTH;

constexpr uint16_t LEAD_LOGIN = 0x0102;
constexpr uint16_t LEAD_DEFAULT = 0x0101;

// Message codes, both directions.
constexpr uint16_t C_LOGIN = 49;
constexpr uint16_t C_LOGIN_RESULT = 50;
constexpr uint16_t C_LOGOUT = 51;
constexpr uint16_t C_LOGOUT_RESULT = 52;
constexpr uint16_t C_BASIC_INFO = 55;
constexpr uint16_t C_EXTEND_INFO = 56;
constexpr uint16_t C_POST_INFO = 57;
constexpr uint16_t C_MARK_INFO = 58;
constexpr uint16_t C_GET_RECORD_CALLID = 67;
constexpr uint16_t C_GET_RECORD_CALLID_RESPONSE = 68;
constexpr uint16_t C_KEEP_ALIVE = 72;
constexpr uint16_t C_SET_SELECTION_RECORD = 87;
constexpr uint16_t C_RECORD_TYPE_CHANGED = 96;
constexpr uint16_t C_AGENT_STATUS_CHANGED = 97;
constexpr uint16_t C_START_SELECT_RECORD = 99;
constexpr uint16_t C_STOP_SELECT_RECORD = 100;
constexpr uint16_t C_LOGOUT_ALARM = 105;

// Total sizes (header + body).
constexpr size_t SIZE_LOGIN = 144;
constexpr size_t SIZE_LOGIN_RESULT = 213;
constexpr size_t SIZE_LOGOUT = 112;
constexpr size_t SIZE_LOGOUT_RESULT = 113;
constexpr size_t SIZE_BASIC_INFO = 290;
constexpr size_t SIZE_EXTEND_INFO = 3176;
constexpr size_t SIZE_POST_INFO = 383;
constexpr size_t SIZE_MARK_INFO = 255;
constexpr size_t SIZE_GET_RECORD_CALLID = 112;
constexpr size_t SIZE_GET_RECORD_CALLID_RESPONSE = 240;
constexpr size_t SIZE_KEEP_ALIVE = 16;
constexpr size_t SIZE_SELECTION = 233;  // set, start and stop selection
constexpr size_t SIZE_RECORD_TYPE_CHANGED = 42;
constexpr size_t SIZE_AGENT_STATUS_CHANGED = 42;
constexpr size_t SIZE_LOGOUT_ALARM = 48;

// Field offsets and widths. Outbound:
namespace layout {
// C_LOGIN
constexpr size_t LOGIN_EXTNO = 16, LOGIN_TENANT = 40, LOGIN_AID = 72, LOGIN_PWD = 104;
// C_LOGOUT
constexpr size_t LOGOUT_EXTNO = 16, LOGOUT_TENANT = 40, LOGOUT_AID = 72;
// From C_GET_RECORD_CALLID on, AID comes first.
constexpr size_t GETCALLID_AID = 16, GETCALLID_TENANT = 48, GETCALLID_EXTNO = 80;
// Shared head of mark, basic, post, extend and the selection messages.
constexpr size_t INFO_AID = 16, INFO_TENANT = 48, INFO_CALLID = 80, INFO_EXTNO = 208;
constexpr size_t MARK_TIME = 232;
constexpr size_t BASIC_ANI = 232, BASIC_DNIS = 256, BASIC_TYPE = 280;
constexpr size_t POST_START = 232, POST_DESC = 247;
constexpr size_t EXTEND_CID = 232, EXTEND_CTEL = 264, EXTEND_NAME = 288, EXTEND_INFO1 = 352, EXTEND_INFO2 = 1376,
                 EXTEND_INFO3 = 2400, EXTEND_INFO4 = 2656, EXTEND_INFO5 = 2912;
constexpr size_t SELECTION_FLAG = 232;
// Inbound fields the control reads.
constexpr size_t LOGIN_RESULT_CODE = 16, LOGIN_RESULT_RECTYPE = 203;
constexpr size_t LOGOUT_RESULT_FLAG = 104;
constexpr size_t CALLID_RESPONSE_CALLID = 80;
constexpr size_t CHANGED_VALUE = 40;  // record type / agent status
constexpr size_t LOGOUT_ALARM_AGENT = 16;
}  // namespace layout

// Field widths (W: at most W - 1 bytes of a value are carried).
constexpr size_t W_EXTNO = 24, W_AID = 32, W_TENANT = 32, W_PWD = 32, W_CALLID = 128, W_ANI = 24, W_DNIS = 24,
                 W_TIME = 15, W_DESC = 128, W_CID = 32, W_CTEL = 24, W_NAME = 64, W_INFO12 = 1024, W_INFO345 = 256,
                 W_ALARM_AGENT = 32;

// Little-endian access without alignment assumptions.
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Writes a text field: at most width - 1 bytes, the rest left zero.
void PutText(uint8_t* field, size_t width, const char* text);
// Reads a text field up to its first zero byte, at most max_len bytes.
size_t GetText(const uint8_t* field, size_t max_len, char* out);

// Layout of the outbound packets into zero-filled buffers of exact size.
void BuildHeader(uint8_t* buf, uint16_t lead, uint16_t code, size_t total);
void BuildLogin(uint8_t (&buf)[SIZE_LOGIN], const char* ExtNo, const char* AID, const char* PWD, const char* Tenant);
void BuildLogout(uint8_t (&buf)[SIZE_LOGOUT], const char* ExtNo, const char* AID, const char* Tenant);
void BuildGetCallID(uint8_t (&buf)[SIZE_GET_RECORD_CALLID], const char* ExtNo, const char* AID, const char* Tenant);
// szTime: the 14 digits of the mark time (written whole into its field).
void BuildMarkInfo(uint8_t (&buf)[SIZE_MARK_INFO], const char* ExtNo, const char* CallID, const char* AID,
                   const char* Tenant, const char* szTime);
void BuildBasicInfo(uint8_t (&buf)[SIZE_BASIC_INFO], const char* ExtNo, const char* CallID, const char* ANI,
                    const char* DNIS, const char* AID, const char* Tenant, int16_t type);
void BuildPostInfo(uint8_t (&buf)[SIZE_POST_INFO], const char* ExtNo, const char* CallID, const char* start,
                   const char* desc, const char* AID, const char* Tenant);
void BuildExtendInfo(uint8_t (&buf)[SIZE_EXTEND_INFO], const char* ExtNo, const char* CallID, const char* name,
                     const char* cid, const char* ctel, const char* info1, const char* info2, const char* info3,
                     const char* info4, const char* info5, const char* AID, const char* Tenant);
void BuildSelection(uint8_t (&buf)[SIZE_SELECTION], uint16_t code, const char* ExtNo, const char* CallID,
                    const char* AID, const char* Tenant);
void BuildKeepAlive(uint8_t (&buf)[SIZE_KEEP_ALIVE]);

// "%04d%02d%02d%02d%02d%02d" of the local time, read once.
void FormatMarkTime(char (&out)[W_TIME]);

}  // namespace tessor

namespace tessor {

class CORVInterface;

// The encoders: build, send on the link's socket, answer whether it was
// sent (login and logout always answer true). Host thread.
bool SendLoginPacket(CORVInterface& link, const char* ExtNo, const char* AID, const char* PWD, const char* Tenant);
bool SendLogoutPacket(CORVInterface& link, const char* ExtNo, const char* AID, const char* Tenant);
bool SendGetCallIDPacket(CORVInterface& link, const char* ExtNo, const char* AID, const char* Tenant);
bool SendMarkInfoPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* AID,
                        const char* Tenant);
bool SendBasicInfoPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* ANI,
                         const char* DNIS, const char* AID, const char* Tenant, int16_t type);
bool SendPostInfoPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* start,
                        const char* desc, const char* AID, const char* Tenant);
bool SendExtendInfoPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* name,
                          const char* cid, const char* ctel, const char* info1, const char* info2, const char* info3,
                          const char* info4, const char* info5, const char* AID, const char* Tenant);
void SendKeepAlivePacket(CORVInterface& link);
bool SendSelectionRecordPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* AID,
                               const char* Tenant);
bool SendStartSelectRecordPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* AID,
                                 const char* Tenant);
bool SendStopSelectRecordPacket(CORVInterface& link, const char* ExtNo, const char* CallID, const char* AID,
                                const char* Tenant);

}  // namespace tessor
