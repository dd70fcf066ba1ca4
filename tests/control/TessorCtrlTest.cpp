// Tests of the control CTessorCtrl: the six window messages and the events
// they fire, the argument checks and log lines of the methods, what they
// hand to the wire, the duplicate test of SendExtendInfo, connecting and
// disconnecting, and a host that disconnects or destroys the control from
// inside an event handler.
#include "control/TessorCtrl.h"

#include <array>

#include "common/WindowMessages.h"
#include "control/Dispatch.h"
#include "tests/control/ControlHarness.h"

namespace tessor::testing {
namespace {

using platform::LPARAM;
using platform::UINT;

std::string NoLinkText() { return K("MAIN ORV, SUB ORV 모두 통신이 안됩니다. 네트웍 상태를 점검하십시요."); }
std::string NoCallIdText() { return K("CALLID 가 NULL 입니다. CALLID를 요청했는지 확인하십시요."); }

class CtrlTest : public ControlFixture {};

// ---- window messages ------------------------------------------------------------

TEST_F(CtrlTest, WindowMessagesSetPropertiesAndFireTheirEvents) {
  struct SStep {
    const char* szName;
    UINT msg;
    LPARAM lParam;
    uint16_t nAStatus, nRType;  // afterwards
    const char* szEvent;
    const char* szLogLine;  // or nullptr
  };
  // One sequence: each step starts from the state the previous one left.
  const SStep kSteps[] = {
      {"login success with record type 5", WM_LOGIN_SUCCESS, 5, 3, 5, "LoginSuccess 5", nullptr},
      {"agent status 1 leaves the record type", WM_AGENT_STATUS_CHANGE, 1, 1, 5, "AgentStatusChange 1", nullptr},
      {"record type 2 leaves the status", WM_RECTYPE_CHANGE, 2, 1, 2, "RecTypeChange 2", nullptr},
      {"disconnected changes no property", WM_DISCONNECTED, 2, 1, 2, "Disconnected 2", nullptr},
      {"0xFFFF: property 65535, event -1", WM_AGENT_STATUS_CHANGE, 0xFFFF, 65535, 2, "AgentStatusChange -1",
       nullptr},
      {"record type 0xFFFF", WM_RECTYPE_CHANGE, 0xFFFF, 65535, 65535, "RecTypeChange -1", nullptr},
      {"login success 0xFFFF still sets status 3", WM_LOGIN_SUCCESS, 0xFFFF, 3, 65535, "LoginSuccess -1", nullptr},
      {"only the low 16 bits of lParam count", WM_RECTYPE_CHANGE, 0x12345, 3, 0x2345, "RecTypeChange 9029", nullptr},
      {"disconnected passes any code through", WM_DISCONNECTED, 0xFFFF, 3, 0x2345, "Disconnected -1", nullptr},
      {"telephone number: nothing writes it, so it is empty", WM_SET_TELNUMBER, 0, 3, 0x2345, "SetTelNumber \"\"",
       "SetTelNumber : PHONE()"},
  };
  const platform::HWND hWnd = Ctrl().GetSafeHwnd();
  for (const auto& s : kSteps) {
    SCOPED_TRACE(s.szName);
    m_sink.m_events.clear();
    const size_t mark = Mark();
    ASSERT_TRUE(FromReceiveThread([&] { platform::SendMessage(hWnd, s.msg, 0, s.lParam); }));
    EXPECT_EQ(m_sink.Described(), std::vector<std::string>{s.szEvent});
    ASSERT_EQ(m_sink.m_events.size(), 1u);
    ASSERT_EQ(m_sink.m_events[0].args.size(), 1u);
    EXPECT_EQ(m_sink.m_events[0].args[0].vt, s.msg == WM_SET_TELNUMBER ? VT::BSTR : VT::I2);
    EXPECT_EQ(Ctrl().GetAStatus(), s.nAStatus);
    EXPECT_EQ(Ctrl().GetRType(), s.nRType);
    EXPECT_EQ(Ctrl().GetCallIDProperty(), "");
    EXPECT_FALSE(Ctrl().IsModified()) << "only a host write marks the control modified";
    EXPECT_EQ(Readable(Since(mark)), s.szLogLine ? Readable({s.szLogLine}) : "");
  }
}

TEST_F(CtrlTest, EmptyCallIdIsReportedAfterTheIntervalOnly) {
  struct SCase {
    const char* szName;
    int16_t nInterval;
    const char* szCallID;
    bool bPause;
  };
  const SCase kCases[] = {
      {"a call id is never held back", 3, "20240305-0001", false},
      {"empty id, interval 3: reported after 3 s", 3, "", true},  // waits for real
      {"empty id, interval 0: at once", 0, "", false},
      {"empty id, interval -5: at once", -5, "", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    size_t mark = Mark();
    Ctrl().SetInterval(c.nInterval);
    EXPECT_EQ(Ctrl().m_nInterval, c.nInterval);
    EXPECT_EQ(Readable(Since(mark)), Readable({"SetInterval - " + std::to_string(c.nInterval)}));

    m_sink.m_events.clear();
    mark = Mark();
    const uint64_t start = Now();
    uint64_t firedAfter = 0;
    m_sink.m_onEvent = [&](const SEvent& e) {
      if (e.strName == "SetCallID") firedAfter = Now() - start;
    };
    ASSERT_TRUE(FromReceiveThread([&] { Ctrl().Manager().NotifyCallID(c.szCallID); }));
    m_sink.m_onEvent = nullptr;

    if (c.bPause) {
      EXPECT_GE(firedAfter, 2900u);
    } else {
      EXPECT_LT(firedAfter, 2000u);
    }
    const std::string id = c.szCallID;
    EXPECT_EQ(m_sink.Described(), (std::vector<std::string>{"SetCallID", "SetCurrentCallID \"" + id + "\""}));
    ASSERT_EQ(m_sink.m_events.size(), 2u);
    EXPECT_EQ(m_sink.m_events[0].nDispId, 1);
    EXPECT_TRUE(m_sink.m_events[0].args.empty()) << "SetCallID passes no argument";
    EXPECT_EQ(m_sink.m_events[1].nDispId, 6);
    EXPECT_EQ(Ctrl().GetCallIDProperty(), id);
    std::vector<std::string> want = {"SetCurrentCallID : CALLID(" + id + ")"};
    if (c.bPause) want.push_back("Sleep - 3 * 1000");
    EXPECT_EQ(Readable(Since(mark)), Readable(want));
  }
}

// ---- argument checks ------------------------------------------------------------

constexpr int kVoid = -1000;  // a method without a result

struct SMethodCall {
  std::string strName;
  std::function<int(CTessorCtrl&)> call;
  int nResult;
  std::vector<std::string> lines;  // refusals: the lines written
};

TEST_F(CtrlTest, RefusedArgumentsWriteOneLineAndSendNothing) {
  ConnectBoth();
  const std::string ext24(24, '2'), aid32(32, 'b'), aid40(40, 'b'), ten32(32, 'u'), pwd32(32, 'q'), pwd40(40, 'r'),
      call128(128, 'd'), call200(200, 'e'), ani24(24, '6'), dnis24(24, '7'), desc128(128, 'n'),
      start15("202403051200001"), name64(64, 'm'), cid32(32, 'i'), ctel24(24, '8'), info1024(1024, 'x'),
      info256(256, 'y');
  const std::string kor24 = K("가나다라마바사아자차카타");  // 12 Korean characters, 24 bytes
  ASSERT_EQ(kor24.size(), 24u);
  auto R = [](const char* utf8) { return K(utf8); };
  const std::string extMsg = R("입력하신 내선번호 자리수가 24 보다 큽니다.");

  const std::vector<SMethodCall> kCases = {
      {"LoginToORV, 24-byte ExtNo", [&](CTessorCtrl& c) { return c.LoginToORV(ext24.c_str(), "agent01", "pw", "T1"); },
       0, {extMsg}},
      {"LoginToORV, ExtNo of 12 Korean characters",
       [&](CTessorCtrl& c) { return c.LoginToORV(kor24.c_str(), "agent01", "pw", "T1"); }, 0, {extMsg}},
      {"LoginToORV, ExtNo and AID too long: only the first is logged",
       [&](CTessorCtrl& c) { return c.LoginToORV(ext24.c_str(), aid40.c_str(), "pw", ten32.c_str()); }, 0, {extMsg}},
      {"LoginToORV, 32-byte AID",
       [&](CTessorCtrl& c) { return c.LoginToORV("4001", aid32.c_str(), "pw", "T1"); }, 0,
       {R("입력하신 상담원 ID 자리수가 32 보다 큽니다.")}},
      {"LoginToORV, 32-byte Tenant",
       [&](CTessorCtrl& c) { return c.LoginToORV("4001", "agent01", "pw", ten32.c_str()); }, 0,
       {R("입력하신 테넌트 자리수가 32 보다 큽니다.")}},
      {"LoginToORV2, 32-byte PWD",
       [&](CTessorCtrl& c) { return c.LoginToORV2("4001", "agent01", pwd32.c_str(), "T1"); }, 0,
       {R("입력하신 비밀번호 자리수가 32 보다 큽니다.")}},
      {"LoginToORV2, AID is tested before PWD",
       [&](CTessorCtrl& c) { return c.LoginToORV2("4001", aid32.c_str(), pwd40.c_str(), "T1"); }, 0,
       {R("입력하신 상담원 ID 자리수가 32 보다 큽니다.")}},
      {"LoginToORV2, PWD is tested before Tenant",
       [&](CTessorCtrl& c) { return c.LoginToORV2("4001", "agent01", pwd40.c_str(), ten32.c_str()); }, 0,
       {R("입력하신 비밀번호 자리수가 32 보다 큽니다.")}},
      {"LogOffFromORV, 32-byte AID",
       [&](CTessorCtrl& c) { return c.LogOffFromORV("4001", aid32.c_str(), "T1"); }, 0,
       {R("입력하신 상담원 ID 자리수가 32 보다 큽니다.")}},
      {"LogOffFromORV2, 32-byte Tenant",
       [&](CTessorCtrl& c) { return c.LogOffFromORV2("4001", "agent01", ten32.c_str()); }, 0,
       {R("입력하신 테넌트 자리수가 32 보다 큽니다.")}},
      {"GetCallID, 32-byte AID: its own wording, after the call line",
       [&](CTessorCtrl& c) { return c.GetCallID("4001", aid32.c_str(), "T1"), kVoid; }, kVoid,
       {"call GetCallID.", R("입력하신 상담원ID 자리수가 32 보다 큽니다.")}},
      {"GetCallID, 24-byte ExtNo", [&](CTessorCtrl& c) { return c.GetCallID(ext24.c_str(), "agent01", "T1"), kVoid; },
       kVoid, {"call GetCallID.", extMsg}},
      {"GetCallID, 32-byte Tenant",
       [&](CTessorCtrl& c) { return c.GetCallID("4001", "agent01", ten32.c_str()), kVoid; }, kVoid,
       {"call GetCallID.", R("입력하신 Tenant 자리수가 32 보다 큽니다.")}},
      {"SendMarkInfo, 128-byte CallID",
       [&](CTessorCtrl& c) { return c.SendMarkInfo("4001", call128.c_str(), "agent01", "T1"), kVoid; }, kVoid,
       {R("SendMarkInfo : 입력하신 CALL ID 자리수가 128 보다 큽니다.")}},
      {"SendMarkInfo, AID is tested before CallID",
       [&](CTessorCtrl& c) { return c.SendMarkInfo("4001", call200.c_str(), aid32.c_str(), "T1"), kVoid; }, kVoid,
       {R("SendMarkInfo : 입력하신 상담원ID 자리수가 32 보다 큽니다.")}},
      {"SendMarkInfo, 32-byte Tenant",
       [&](CTessorCtrl& c) { return c.SendMarkInfo("4001", "CALL-1", "agent01", ten32.c_str()), kVoid; }, kVoid,
       {R("SendMarkInfo : 입력하신 Tenant 자리수가 32 보다 큽니다.")}},
      {"SendBasicInfo, ANI is tested before CallID",
       [&](CTessorCtrl& c) {
         return c.SendBasicInfo("4001", call200.c_str(), ani24.c_str(), "1588", "agent01", "T1", 1), kVoid;
       },
       kVoid, {R("SendBasicInfo : 입력하신 ANI 자리수가 24 보다 큽니다.")}},
      {"SendBasicInfo, 24-byte DNIS",
       [&](CTessorCtrl& c) {
         return c.SendBasicInfo("4001", "CALL-1", "0212345678", dnis24.c_str(), "agent01", "T1", 1), kVoid;
       },
       kVoid, {R("SendBasicInfo : 입력하신 DNIS 자리수가 24 보다 큽니다.")}},
      {"SendPostInfo, 15-byte start time",
       [&](CTessorCtrl& c) {
         return c.SendPostInfo("4001", "CALL-1", start15.c_str(), "note", "agent01", "T1"), kVoid;
       },
       kVoid, {R("SendPostInfo : 입력하신 시작시간 자리수가 15 보다 큽니다.")}},
      {"SendPostInfo, desc is tested before CallID",
       [&](CTessorCtrl& c) {
         return c.SendPostInfo("4001", call128.c_str(), "20240305120000", desc128.c_str(), "agent01", "T1"), kVoid;
       },
       kVoid, {R("SendPostInfo : 입력하신 후처리 정보 자리수가 128 보다 큽니다.")}},
      {"SendPostInfo, CallID is tested before start",
       [&](CTessorCtrl& c) {
         return c.SendPostInfo("4001", call128.c_str(), start15.c_str(), "note", "agent01", "T1"), kVoid;
       },
       kVoid, {R("SendPostInfo : 입력하신 CALL ID 자리수가 128 보다 큽니다.")}},
  };
  // SendExtendInfo: one refused field at a time, and the order between two.
  struct SExtend {
    const char* szName;
    int nField;  // parameter index
    std::string value;
    int nSecond;  // a second long field that must not be the one logged, or -1
    std::string second;
    const char* szMessage;
  };
  const SExtend kExtend[] = {
      {"info1 1024", 5, info1024, -1, "", "입력하신 고객정보1 자리수가 1024 보다 큽니다."},
      {"info2 1024", 6, info1024, -1, "", "입력하신 고객정보2 자리수가 1024 보다 큽니다."},
      {"info3 256", 7, info256, -1, "", "입력하신 고객정보3 자리수가 256 보다 큽니다."},
      {"info4 256", 8, info256, -1, "", "입력하신 고객정보4 자리수가 256 보다 큽니다."},
      {"info5 256 is tested before name", 9, info256, 2, name64, "입력하신 고객정보5 자리수가 256 보다 큽니다."},
      {"name 64", 2, name64, -1, "", "입력하신 고객 이름 자리수가 64 보다 큽니다."},
      {"cid 32", 3, cid32, -1, "", "입력하신 고객 ID 자리수가 32 보다 큽니다."},
      {"ctel 24", 4, ctel24, -1, "", "입력하신 고객 전화번호 자리수가 24 보다 큽니다."},
      {"Tenant is tested before info1", 11, ten32, 5, info1024, "입력하신 Tenant 자리수가 32 보다 큽니다."},
      {"CallID is tested before Tenant", 1, call128, 11, ten32, "입력하신 CALL ID 자리수가 128 보다 큽니다."},
  };
  std::vector<SMethodCall> cases = kCases;
  for (const auto& e : kExtend) {
    std::array<std::string, 12> a = {"4001", "CALL-1", "KIM", "C-77", "0101234567", "i1",
                                     "i2",   "i3",     "i4",  "i5",   "agent01",    "T1"};
    a[static_cast<size_t>(e.nField)] = e.value;
    if (e.nSecond >= 0) a[static_cast<size_t>(e.nSecond)] = e.second;
    cases.push_back({std::string("SendExtendInfo, ") + e.szName,
                     [a](CTessorCtrl& c) {
                       c.SendExtendInfo(a[0].c_str(), a[1].c_str(), a[2].c_str(), a[3].c_str(), a[4].c_str(),
                                        a[5].c_str(), a[6].c_str(), a[7].c_str(), a[8].c_str(), a[9].c_str(),
                                        a[10].c_str(), a[11].c_str());
                       return kVoid;
                     },
                     kVoid, {K((std::string("SendExtendInfo : ") + e.szMessage).c_str())}});
  }
  // The selective-recording methods log the refusal without a method name.
  cases.push_back({"SetSelectionRecord, 128-byte CallID",
                   [&](CTessorCtrl& c) { return c.SetSelectionRecord("4001", call128.c_str(), "agent01", "T1"), kVoid; },
                   kVoid, {R("입력하신 CALL ID 자리수가 128 보다 큽니다.")}});
  cases.push_back({"StartSelectRecord, ExtNo is tested before CallID",
                   [&](CTessorCtrl& c) { return c.StartSelectRecord(ext24.c_str(), call200.c_str(), "agent01", "T1"), kVoid; },
                   kVoid, {extMsg}});
  cases.push_back({"StopSelectRecord, 32-byte AID",
                   [&](CTessorCtrl& c) { return c.StopSelectRecord("4001", "CALL-1", aid32.c_str(), "T1"), kVoid; },
                   kVoid, {R("입력하신 상담원ID 자리수가 32 보다 큽니다.")}});
  cases.push_back({"StopSelectRecord, 32-byte Tenant",
                   [&](CTessorCtrl& c) { return c.StopSelectRecord("4001", "CALL-1", "agent01", ten32.c_str()), kVoid; },
                   kVoid, {R("입력하신 Tenant 자리수가 32 보다 큽니다.")}});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.strName);
    const size_t mark = Mark();
    EXPECT_EQ(c.call(Ctrl()), c.nResult);
    EXPECT_EQ(Readable(Since(mark)), Readable(c.lines));
  }
  EXPECT_EQ(Codes(TakeMain()), std::vector<uint16_t>{}) << "a refused request sends nothing";
  EXPECT_EQ(Codes(TakeSub()), std::vector<uint16_t>{});
  EXPECT_EQ(LastLogin().DN(), "") << "a refused login stores nothing";
}

size_t ExtNoOffset(uint16_t code) {
  switch (code) {
    case C_LOGIN: return layout::LOGIN_EXTNO;
    case C_LOGOUT: return layout::LOGOUT_EXTNO;
    case C_GET_RECORD_CALLID: return layout::GETCALLID_EXTNO;
    default: return layout::INFO_EXTNO;
  }
}

TEST_F(CtrlTest, LongestAcceptedValuesAreSentWhole) {
  ConnectBoth();
  const std::string ext(23, '1'), aid(31, 'a'), ten(31, 't'), pwd31(31, 'p'), pwd40(40, 'r'), call(127, 'c'),
      ani(23, '5'), dnis(23, '6'), start("20240305120000"), desc(127, 'n'), name(63, 'm'), cid(31, 'i'), ctel(23, '8'),
      info12(1023, 'x'), info345(255, 'y');
  struct SCase {
    const char* szName;
    std::function<int(CTessorCtrl&)> call;
    int nResult;
    std::vector<uint16_t> main, sub;
  };
  const SCase kCases[] = {
      {"LoginToORV (its password is not tested)",
       [&](CTessorCtrl& c) { return c.LoginToORV(ext.c_str(), aid.c_str(), pwd40.c_str(), ten.c_str()); }, 1,
       {C_LOGIN}, {}},
      {"LoginToORV2", [&](CTessorCtrl& c) { return c.LoginToORV2(ext.c_str(), aid.c_str(), pwd31.c_str(), ten.c_str()); },
       1, {}, {C_LOGIN}},
      {"LogOffFromORV", [&](CTessorCtrl& c) { return c.LogOffFromORV(ext.c_str(), aid.c_str(), ten.c_str()); }, 1,
       {C_LOGOUT}, {}},
      {"LogOffFromORV2", [&](CTessorCtrl& c) { return c.LogOffFromORV2(ext.c_str(), aid.c_str(), ten.c_str()); }, 1,
       {}, {C_LOGOUT}},
      {"GetCallID", [&](CTessorCtrl& c) { return c.GetCallID(ext.c_str(), aid.c_str(), ten.c_str()), kVoid; }, kVoid,
       {C_GET_RECORD_CALLID}, {}},
      {"SendMarkInfo",
       [&](CTessorCtrl& c) { return c.SendMarkInfo(ext.c_str(), call.c_str(), aid.c_str(), ten.c_str()), kVoid; },
       kVoid, {C_MARK_INFO}, {}},
      {"SendBasicInfo",
       [&](CTessorCtrl& c) {
         return c.SendBasicInfo(ext.c_str(), call.c_str(), ani.c_str(), dnis.c_str(), aid.c_str(), ten.c_str(), 1),
                kVoid;
       },
       kVoid, {C_BASIC_INFO}, {}},
      {"SendPostInfo",
       [&](CTessorCtrl& c) {
         return c.SendPostInfo(ext.c_str(), call.c_str(), start.c_str(), desc.c_str(), aid.c_str(), ten.c_str()),
                kVoid;
       },
       kVoid, {C_POST_INFO}, {}},
      {"SendExtendInfo",
       [&](CTessorCtrl& c) {
         c.SendExtendInfo(ext.c_str(), call.c_str(), name.c_str(), cid.c_str(), ctel.c_str(), info12.c_str(),
                          info12.c_str(), info345.c_str(), info345.c_str(), info345.c_str(), aid.c_str(), ten.c_str());
         return kVoid;
       },
       kVoid, {C_EXTEND_INFO}, {}},
      {"SetSelectionRecord goes to every link",
       [&](CTessorCtrl& c) { return c.SetSelectionRecord(ext.c_str(), call.c_str(), aid.c_str(), ten.c_str()), kVoid; },
       kVoid, {C_SET_SELECTION_RECORD}, {C_SET_SELECTION_RECORD}},
      {"StartSelectRecord",
       [&](CTessorCtrl& c) { return c.StartSelectRecord(ext.c_str(), call.c_str(), aid.c_str(), ten.c_str()), kVoid; },
       kVoid, {C_START_SELECT_RECORD}, {C_START_SELECT_RECORD}},
      {"StopSelectRecord",
       [&](CTessorCtrl& c) { return c.StopSelectRecord(ext.c_str(), call.c_str(), aid.c_str(), ten.c_str()), kVoid; },
       kVoid, {C_STOP_SELECT_RECORD}, {C_STOP_SELECT_RECORD}},
  };
  const std::string refusalMark = K("자리수가");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    const size_t mark = Mark();
    EXPECT_EQ(c.call(Ctrl()), c.nResult);
    for (const auto& line : Since(mark)) {
      EXPECT_EQ(line.find(refusalMark), std::string::npos) << platform::Cp949ToUtf8(line);
    }
    for (const bool bMain : {true, false}) {
      const auto batch = bMain ? TakeMain() : TakeSub();
      EXPECT_EQ(Codes(batch), bMain ? c.main : c.sub) << (bMain ? "main" : "sub");
      for (const auto& p : batch) {
        EXPECT_EQ(Field(p, ExtNoOffset(Code(p)), W_EXTNO), ext);
        if (Code(p) != C_LOGIN && Code(p) != C_LOGOUT && Code(p) != C_GET_RECORD_CALLID) {
          EXPECT_EQ(Field(p, layout::INFO_CALLID, W_CALLID), call);
        }
      }
    }
  }
}

// ---- log-in and log-off -------------------------------------------------------------

TEST_F(CtrlTest, LoginCutsALongPasswordOnTheWireAndNeverLogsIt) {
  ConnectBoth();
  const std::string pwd40 = "Zq-secret-0123456789abcdefghijklmnopqrst";
  ASSERT_EQ(pwd40.size(), 40u);
  size_t mark = Mark();
  EXPECT_EQ(Ctrl().LoginToORV("4001", "agent01", pwd40.c_str(), "T1"), 1);
  EXPECT_EQ(Readable(Since(mark)), Readable({"TENANT(T1), AID(agent01), DN(4001) login packet send success",
                                             "1- TENANT(T1), AID(agent01), PWD(****), DN(4001)",
                                             "LoginToORV : Tenant(T1), DN(4001), ID(agent01), PWD(****)"}));
  auto batch = TakeMain();
  ASSERT_EQ(Codes(batch), std::vector<uint16_t>{C_LOGIN});
  EXPECT_EQ(Field(batch[0], layout::LOGIN_EXTNO, W_EXTNO), "4001");
  EXPECT_EQ(Field(batch[0], layout::LOGIN_TENANT, W_TENANT), "T1");
  EXPECT_EQ(Field(batch[0], layout::LOGIN_AID, W_AID), "agent01");
  EXPECT_EQ(Field(batch[0], layout::LOGIN_PWD, W_PWD), pwd40.substr(0, 31));
  EXPECT_EQ(batch[0][layout::LOGIN_PWD + 31], 0);
  EXPECT_EQ(LastLogin().Snapshot().strPWD, pwd40) << "kept whole for the next login";

  mark = Mark();
  EXPECT_EQ(Ctrl().LoginToORV2("4001", "agent01", pwd40.c_str(), "T1"), 0);
  EXPECT_EQ(Readable(Since(mark)), Readable({K("입력하신 비밀번호 자리수가 32 보다 큽니다.")}));
  EXPECT_EQ(Codes(TakeSub()), std::vector<uint16_t>{});

  const std::string pwd31 = pwd40.substr(0, 31);
  mark = Mark();
  EXPECT_EQ(Ctrl().LoginToORV2("4001", "agent01", pwd31.c_str(), "T1"), 1);
  EXPECT_EQ(Readable(Since(mark)), Readable({"TENANT(T1), AID(agent01), DN(4001) login packet send success",
                                             "1- TENANT(T1), AID(agent01), PWD(****), DN(4001)",
                                             "LoginToORV2 : Tenant(T1), DN(4001), ID(agent01), PWD(****)"}));
  batch = TakeSub();
  ASSERT_EQ(Codes(batch), std::vector<uint16_t>{C_LOGIN});
  EXPECT_EQ(Field(batch[0], layout::LOGIN_PWD, W_PWD), pwd31);

  // A reconnecting sub link logs in again with the stored texts; the log
  // still shows no password.
  ASSERT_TRUE(Ctrl().DisconnectFromORV());
  CTestPeer again;
  ASSERT_TRUE(again.Listen());
  ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", I2(again.Port())), 1);
  ASSERT_TRUE(again.WaitPackets(1, kDeadlineMs, 0));
  EXPECT_EQ(Field(again.Packets(0)[0], layout::LOGIN_PWD, W_PWD), pwd31);
  EXPECT_EQ(m_log.Raw().find("Zq-secret"), std::string::npos) << "a password reached the log";
}

TEST_F(CtrlTest, LoginAndLogOffUseTheirOwnSlotOnly) {
  size_t mark = Mark();
  EXPECT_EQ(Ctrl().LoginToORV("4001", "agent01", "pw-4001", "T1"), 0);
  EXPECT_EQ(Ctrl().LogOffFromORV("4001", "agent01", "T1"), 0);
  EXPECT_EQ(Ctrl().LoginToORV2("4001", "agent01", "pw-4001", "T1"), 0);
  EXPECT_EQ(Ctrl().LogOffFromORV2("4001", "agent01", "T1"), 0);
  EXPECT_EQ(Readable(Since(mark)), Readable({"LoginToORV : Tenant(T1), DN(4001), ID(agent01), PWD(****)",
                                             "LogOffFromORV : Tenant(T1), DN(4001), ID(agent01)",
                                             "LoginToORV2 : Tenant(T1), DN(4001), ID(agent01), PWD(****)",
                                             "LogOffFromORV2 : Tenant(T1), DN(4001), ID(agent01)"}));
  EXPECT_EQ(LastLogin().DN(), "") << "no login request reached an encoder";

  // Only the sub server: the main methods do not fall back to it. The run
  // flag as module start leaves it, or the sub link would stop at once.
  g_bRun = true;
  ASSERT_TRUE(m_sub.Listen());
  ASSERT_EQ(Ctrl().ConnectToORV2("127.0.0.1", I2(m_sub.Port())), 1);
  ASSERT_TRUE(m_sub.WaitAccepted(1, kDeadlineMs));
  EXPECT_EQ(Ctrl().LoginToORV("4001", "agent01", "pw-4001", "T1"), 0);
  EXPECT_EQ(Ctrl().LogOffFromORV("4001", "agent01", "T1"), 0);
  EXPECT_EQ(Codes(TakeSub()), std::vector<uint16_t>{});
  EXPECT_EQ(LastLogin().DN(), "");
  EXPECT_EQ(Ctrl().LoginToORV2("4001", "agent01", "pw-4001", "T1"), 1);
  EXPECT_EQ(Ctrl().LogOffFromORV2("4001", "agent01", "T1"), 1);
  EXPECT_EQ(Codes(TakeSub()), (std::vector<uint16_t>{C_LOGIN, C_LOGOUT}));
}

// Slow: a refused ConnectToORV makes its four attempts.
TEST_F(CtrlTest, AfterAFailedConnectTheMainMethodsUseTheUnconnectedLink) {
  CTestPeer gone;
  ASSERT_TRUE(gone.Listen());
  const uint16_t refused = gone.Port();
  gone.StopListening();
  ASSERT_TRUE(m_main.Listen());

  size_t mark = Mark();
  EXPECT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(refused)), 0);
  EXPECT_TRUE(g_bRun.load()) << "set also when the connect fails";
  EXPECT_EQ(Readable(Since(mark)),
            Readable({"ConnectToORV : SERVER(127.0.0.1), PORT(" + std::to_string(I2(refused)) + ")", "ConnectToORV Fail."}));

  mark = Mark();
  EXPECT_EQ(Ctrl().LoginToORV("4001", "agent01", "pw-4001", "T1"), 1);
  EXPECT_EQ(Readable(Since(mark)), Readable({"TENANT(T1), AID(agent01), DN(4001) login packet send fail",
                                             "1- TENANT(T1), AID(agent01), PWD(****), DN(4001)",
                                             "LoginToORV : Tenant(T1), DN(4001), ID(agent01), PWD(****)"}));
  EXPECT_EQ(LastLogin().DN(), "4001") << "a login whose send failed is stored too";

  mark = Mark();
  EXPECT_EQ(Ctrl().LogOffFromORV("4001", "agent01", "T1"), 1);
  Ctrl().GetCallID("4001", "agent01", "T1");
  EXPECT_EQ(Readable(Since(mark)),
            Readable({"LogOffFromORV : Tenant(T1), DN(4001), ID(agent01)", "call GetCallID.", NoLinkText(),
                      "GetCallID : Tenant(T1), DN(4001), ID(agent01)"}));

  // The slot is taken until DisconnectFromORV empties it.
  mark = Mark();
  const uint64_t start = Now();
  EXPECT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(m_main.Port())), 0);
  EXPECT_LT(Now() - start, 500u);
  const std::string line = "ConnectToORV : SERVER(127.0.0.1), PORT(" + std::to_string(I2(m_main.Port())) + ")";
  EXPECT_EQ(Readable(Since(mark)), Readable({line, "ConnectToORV Fail."}));
  EXPECT_TRUE(Ctrl().DisconnectFromORV());
  mark = Mark();
  EXPECT_EQ(Ctrl().ConnectToORV("127.0.0.1", I2(m_main.Port())), 1);
  EXPECT_EQ(Readable(Since(mark)), Readable({line, "ConnectToORV Success."}));
  EXPECT_TRUE(m_main.WaitAccepted(1, kDeadlineMs));
}

TEST_F(CtrlTest, PortBeyondI2IsLoggedSignedAndConnectsToItsLow16Bits) {
  if (!m_main.Listen(60000)) GTEST_SKIP() << "port 60000 is taken on this machine";
  const size_t mark = Mark();
  EXPECT_EQ(Ctrl().ConnectToORV("127.0.0.1", -5536), 1);
  EXPECT_TRUE(m_main.WaitAccepted(1, kDeadlineMs));
  EXPECT_EQ(Readable(Since(mark)), Readable({"ConnectToORV : SERVER(127.0.0.1), PORT(-5536)", "ConnectToORV Success."}));
}

TEST_F(CtrlTest, DisconnectFromORVEndsBothLinksAndALaterConnectToORV2StopsAtOnce) {
  ConnectBoth();
  EXPECT_TRUE(g_bRun.load());
  const uint64_t start = Now();
  EXPECT_TRUE(Ctrl().DisconnectFromORV());
  EXPECT_LT(Now() - start, 1500u);
  EXPECT_FALSE(g_bRun.load());
  EXPECT_FALSE(Ctrl().Manager().MainLink());
  EXPECT_FALSE(Ctrl().Manager().SubLink());
  EXPECT_TRUE(m_main.WaitPeerClosed(kDeadlineMs, 0));
  EXPECT_TRUE(m_sub.WaitPeerClosed(kDeadlineMs, 0));
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
  EXPECT_EQ(CountLines("ReceiveProcess stopped"), 2);

  // g_bRun stays false: the new sub link's thread ends right after the connect.
  CTestPeer again;
  ASSERT_TRUE(again.Listen());
  const size_t mark = Mark();
  EXPECT_EQ(Ctrl().ConnectToORV2("127.0.0.1", I2(again.Port())), 1);
  EXPECT_TRUE(again.WaitPeerClosed(kDeadlineMs, 0));
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, 2000));
  const auto lines = Since(mark);
  const std::string connectLine = "ConnectToORV2 : SERVER(127.0.0.1), PORT(" + std::to_string(I2(again.Port())) + ")";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), connectLine), 1) << Readable(lines);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "ReceiveProcess stopped"), 1) << Readable(lines);

  platform::CHostLoop::ForCurrentThread()->Dispatch();
  EXPECT_EQ(m_sink.Described(), std::vector<std::string>{}) << "a quiet end reports no lost link";
}

// ---- call information -----------------------------------------------------------------

TEST_F(CtrlTest, NullTextRuleAndTheLinesOfEachRequest) {
  ConnectBoth();
  struct SFieldCheck {
    size_t nOffset, nWidth;
    std::string value;
  };
  struct SCase {
    const char* szName;
    std::function<void(CTessorCtrl&)> call;
    uint16_t nMain, nSub;  // the code that reaches each server, 0 for none
    std::vector<SFieldCheck> fields;
    std::vector<std::string> lines;
  };
  using namespace layout;
  const SCase kCases[] = {
      {"SendBasicInfo: ANI (null) becomes empty, DNIS (NULL) stays, type -1",
       [](CTessorCtrl& c) { c.SendBasicInfo("4001", "CALL-1", "(null)", "(NULL)", "agent01", "T1", -1); },
       C_BASIC_INFO, 0,
       {{BASIC_ANI, W_ANI, ""}, {BASIC_DNIS, W_DNIS, "(NULL)"}, {BASIC_TYPE, 2, "\xFF\xFF"}},
       {"SendBasicInfo : Tenant(T1), DN(4001), ID(agent01), CALLID(CALL-1), ANI(), DNIS((NULL)), TYPE(-1)"}},
      {"SendPostInfo: start and desc (null) become empty",
       [](CTessorCtrl& c) { c.SendPostInfo("4001", "CALL-1", "(null)", "(null)", "agent01", "T1"); }, C_POST_INFO, 0,
       {{POST_START, W_TIME, ""}, {POST_DESC, W_DESC, ""}},
       {"SendPostInfo : Tenant(T1), DN(4001), ID(agent01), CALLID(CALL-1), DESC()"}},
      {"SendPostInfo: (Null) is not the null text",
       [](CTessorCtrl& c) { c.SendPostInfo("4001", "CALL-1", "20240305120000", "(Null)", "agent01", "T1"); },
       C_POST_INFO, 0, {{POST_START, W_TIME, "20240305120000"}, {POST_DESC, W_DESC, "(Null)"}},
       {"SendPostInfo : Tenant(T1), DN(4001), ID(agent01), CALLID(CALL-1), DESC((Null))"}},
      {"SendExtendInfo: the eight optional fields (null) become empty",
       [](CTessorCtrl& c) {
         c.SendExtendInfo("4001", "CALL-2", "(null)", "(null)", "(null)", "(null)", "(null)", "(null)", "(null)",
                          "(null)", "agent01", "T1");
       },
       C_EXTEND_INFO, 0,
       {{EXTEND_NAME, W_NAME, ""},
        {EXTEND_CID, W_CID, ""},
        {EXTEND_CTEL, W_CTEL, ""},
        {EXTEND_INFO1, W_INFO12, ""},
        {EXTEND_INFO2, W_INFO12, ""},
        {EXTEND_INFO3, W_INFO345, ""},
        {EXTEND_INFO4, W_INFO345, ""},
        {EXTEND_INFO5, W_INFO345, ""}},
       {"SendExtendInfo : Tenant(T1), DN(4001), ID(agent01), CALLID(CALL-2), NAME(), CID(), CTEL(), INFO1(), "
        "INFO2(), INFO3(), INFO4(), INFO5()"}},
      {"SendMarkInfo: the rule leaves CallID alone",
       [](CTessorCtrl& c) { c.SendMarkInfo("4001", "(null)", "agent01", "T1"); }, C_MARK_INFO, 0,
       {{INFO_CALLID, W_CALLID, "(null)"}, {INFO_TENANT, W_TENANT, "T1"}},
       {"SendMarkInfo : Tenant(T1), DN(4001), ID(agent01), CALLID((null))"}},
      {"SendMarkInfo: empty CallID", [](CTessorCtrl& c) { c.SendMarkInfo("4001", "", "agent01", "T1"); }, 0, 0, {},
       {NoCallIdText(), "SendMarkInfo : Tenant(T1), DN(4001), ID(agent01), CALLID()"}},
      {"SetSelectionRecord: empty CallID",
       [](CTessorCtrl& c) { c.SetSelectionRecord("4001", "", "agent01", "T1"); }, 0, 0, {},
       {NoCallIdText(), "SetSelectionRecord : Tenant(T1), DN(4001), ID(agent01), CALLID()"}},
      {"StopSelectRecord: empty CallID is sent",
       [](CTessorCtrl& c) { c.StopSelectRecord("4001", "", "agent01", "T1"); }, C_STOP_SELECT_RECORD,
       C_STOP_SELECT_RECORD, {{INFO_CALLID, W_CALLID, ""}, {SELECTION_FLAG, 1, "\x01"}},
       {"StopSelectRecord : Tenant(T1), DN(4001), ID(agent01), CALLID()"}},
      {"StartSelectRecord", [](CTessorCtrl& c) { c.StartSelectRecord("4001", "CALL-1", "agent01", "T1"); },
       C_START_SELECT_RECORD, C_START_SELECT_RECORD, {{INFO_CALLID, W_CALLID, "CALL-1"}},
       {"StartSelectRecord : Tenant(T1), DN(4001), ID(agent01), CALLID(CALL-1)"}},
      {"GetCallID", [](CTessorCtrl& c) { c.GetCallID("4001", "agent01", "T1"); }, C_GET_RECORD_CALLID, 0,
       {{GETCALLID_EXTNO, W_EXTNO, "4001"}, {GETCALLID_TENANT, W_TENANT, "T1"}},
       {"call GetCallID.", "GetCallID : Tenant(T1), DN(4001), ID(agent01)"}},
      {"LogOffFromORV", [](CTessorCtrl& c) { c.LogOffFromORV("4001", "agent01", "T1"); }, C_LOGOUT, 0,
       {{LOGOUT_AID, W_AID, "agent01"}}, {"LogOffFromORV : Tenant(T1), DN(4001), ID(agent01)"}},
      {"LogOffFromORV2", [](CTessorCtrl& c) { c.LogOffFromORV2("4001", "agent01", "T1"); }, 0, C_LOGOUT,
       {{LOGOUT_TENANT, W_TENANT, "T1"}}, {"LogOffFromORV2 : Tenant(T1), DN(4001), ID(agent01)"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    const size_t mark = Mark();
    c.call(Ctrl());
    EXPECT_EQ(Readable(Since(mark)), Readable(c.lines));
    for (const bool bMain : {true, false}) {
      SCOPED_TRACE(bMain ? "main" : "sub");
      const uint16_t want = bMain ? c.nMain : c.nSub;
      const auto batch = bMain ? TakeMain() : TakeSub();
      EXPECT_EQ(Codes(batch), want != 0 ? std::vector<uint16_t>{want} : std::vector<uint16_t>{});
      for (const auto& p : batch) {
        for (const auto& f : c.fields) {
          EXPECT_EQ(Field(p, f.nOffset, f.nWidth), f.value) << "at " << f.nOffset;
        }
      }
    }
  }
}

TEST_F(CtrlTest, SendExtendInfoDropsACallThatRepeatsTheLastOne) {
  using Args = std::array<std::string, 12>;
  auto send = [&](const Args& a) {
    Ctrl().SendExtendInfo(a[0].c_str(), a[1].c_str(), a[2].c_str(), a[3].c_str(), a[4].c_str(), a[5].c_str(),
                          a[6].c_str(), a[7].c_str(), a[8].c_str(), a[9].c_str(), a[10].c_str(), a[11].c_str());
  };
  auto duplicateLine = [](const Args& a) {
    return "SendExtendInfo All info duplicate - EXTNO(" + a[0] + "), CALLID(" + a[1] + "), NAME(" + a[2] +
           "), CID(" + a[3] + "), CTEL(" + a[4] + "), INFO1(" + a[5] + "), INFO2(" + a[6] + "), INFO3(" + a[7] +
           "), INFO4(" + a[8] + "), INFO5(" + a[9] + "), ID(" + a[10] + "), TENANT(" + a[11] + ")";
  };
  const Args base = {"4001", "CALL-1", "KIM", "C-77", "0101234567", "i1", "i2", "i3", "i4", "i5", "agent01", "T1"};
  auto with = [&](Args a, int i, const std::string& v) {
    a[static_cast<size_t>(i)] = v;
    return a;
  };
  constexpr int NAME = 2, INFO1 = 5, TENANT = 11;

  // A new control remembers twelve empty texts.
  size_t mark = Mark();
  send(Args{});
  EXPECT_EQ(Readable(Since(mark)), Readable({duplicateLine(Args{})}));
  // Stored even though no main link takes it.
  mark = Mark();
  send(base);
  ASSERT_EQ(Since(mark).size(), 1u);
  EXPECT_EQ(Since(mark)[0].rfind("SendExtendInfo : Tenant(T1), DN(4001)", 0), 0u);
  ConnectBoth();

  enum class EOutcome { kSent, kDuplicate, kRefused };
  struct SStep {
    const char* szName;
    Args args;
    EOutcome outcome;
    std::string wireName;  // kSent: the name on the wire
  };
  const Args tenant2 = with(base, TENANT, "T2");
  const Args longInfo = with(tenant2, INFO1, std::string(1024, 'x'));
  const SStep kSteps[] = {
      {"the call made while no link existed, again", base, EOutcome::kDuplicate, ""},
      {"kim after KIM: ASCII case only", with(base, NAME, "kim"), EOutcome::kDuplicate, ""},
      {"t1 after T1", with(base, TENANT, "t1"), EOutcome::kDuplicate, ""},
      {"Tenant T2: a byte differs", tenant2, EOutcome::kSent, "KIM"},
      {"the same call twice", tenant2, EOutcome::kDuplicate, ""},
      {"a Korean name", with(tenant2, NAME, K("갂")), EOutcome::kSent, K("갂")},
      // 0x81 0x61 after 0x81 0x41: the trail bytes look like 'a' and 'A'.
      {"another Korean character whose trail byte differs in ASCII case only", with(tenant2, NAME, K("갵")),
       EOutcome::kSent, K("갵")},
      {"a Korean byte differs", with(tenant2, NAME, K("김")), EOutcome::kSent, K("김")},
      {"info1 of 1024 bytes: refused", longInfo, EOutcome::kRefused, ""},
      {"the refused call again: it was stored", longInfo, EOutcome::kDuplicate, ""},
      {"name (null): sent empty", with(tenant2, NAME, "(null)"), EOutcome::kSent, ""},
      {"the same (null) call: never a duplicate", with(tenant2, NAME, "(null)"), EOutcome::kSent, ""},
      {"name (NULL) is a text like any other", with(tenant2, NAME, "(NULL)"), EOutcome::kSent, "(NULL)"},
      {"and repeats like any other", with(tenant2, NAME, "(NULL)"), EOutcome::kDuplicate, ""},
  };
  for (const auto& s : kSteps) {
    SCOPED_TRACE(s.szName);
    mark = Mark();
    send(s.args);
    const auto lines = Since(mark);
    const auto batch = TakeMain();
    switch (s.outcome) {
      case EOutcome::kDuplicate:
        EXPECT_EQ(Readable(lines), Readable({duplicateLine(s.args)}));
        EXPECT_EQ(Codes(batch), std::vector<uint16_t>{});
        break;
      case EOutcome::kRefused:
        EXPECT_EQ(Readable(lines), Readable({K("SendExtendInfo : 입력하신 고객정보1 자리수가 1024 보다 큽니다.")}));
        EXPECT_EQ(Codes(batch), std::vector<uint16_t>{});
        break;
      case EOutcome::kSent:
        ASSERT_EQ(lines.size(), 1u) << Readable(lines);
        EXPECT_EQ(lines[0].rfind("SendExtendInfo : Tenant(", 0), 0u) << Readable(lines);
        ASSERT_EQ(Codes(batch), std::vector<uint16_t>{C_EXTEND_INFO});
        EXPECT_EQ(Field(batch[0], layout::EXTEND_NAME, W_NAME), s.wireName);
        EXPECT_EQ(Field(batch[0], layout::INFO_TENANT, W_TENANT), s.args[TENANT]);
        break;
    }
  }
}

TEST_F(CtrlTest, AbsentTextsAreHandedOnAsEmptyFields) {
  ConnectBoth();
  struct SCase {
    const char* szMember;
    uint16_t nMain, nSub;
    std::vector<std::string> lines;
  };
  const std::string n3 = "Tenant((null)), DN((null)), ID((null))";
  const SCase kCases[] = {
      {"LoginToORV", C_LOGIN, 0,
       {"TENANT(), AID(), DN() login packet send success", "1- TENANT(), AID(), PWD(****), DN()",
        "LoginToORV : " + n3 + ", PWD(****)"}},
      {"LogOffFromORV", C_LOGOUT, 0, {"LogOffFromORV : " + n3}},
      {"GetCallID", C_GET_RECORD_CALLID, 0, {"call GetCallID.", "GetCallID : " + n3}},
      {"SendMarkInfo", 0, 0, {NoCallIdText(), "SendMarkInfo : " + n3 + ", CALLID((null))"}},
      {"SendBasicInfo", 0, 0, {NoCallIdText(), "SendBasicInfo : " + n3 + ", CALLID((null)), ANI(), DNIS(), TYPE(0)"}},
      {"SendPostInfo", 0, 0, {NoCallIdText(), "SendPostInfo : " + n3 + ", CALLID((null)), DESC()"}},
      {"SendExtendInfo", 0, 0,
       {NoCallIdText(), "SendExtendInfo : " + n3 +
                            ", CALLID((null)), NAME(), CID(), CTEL(), INFO1(), INFO2(), INFO3(), INFO4(), INFO5()"}},
      {"LoginToORV2", 0, C_LOGIN,
       {"TENANT(), AID(), DN() login packet send success", "1- TENANT(), AID(), PWD(****), DN()",
        "LoginToORV2 : " + n3 + ", PWD(****)"}},
      {"LogOffFromORV2", 0, C_LOGOUT, {"LogOffFromORV2 : " + n3}},
      {"SetSelectionRecord", 0, 0, {NoCallIdText(), "SetSelectionRecord : " + n3 + ", CALLID((null))"}},
      {"StartSelectRecord", C_START_SELECT_RECORD, C_START_SELECT_RECORD,
       {"StartSelectRecord : " + n3 + ", CALLID((null))"}},
      {"StopSelectRecord", C_STOP_SELECT_RECORD, C_STOP_SELECT_RECORD, {"StopSelectRecord : " + n3 + ", CALLID((null))"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szMember);
    const SMemberDesc* m = FindMember(c.szMember);
    ASSERT_NE(m, nullptr);
    std::vector<CVariant> args;
    for (const auto& p : m->params) args.push_back(p.vt == VT::BSTR ? CVariant::NullText() : CVariant::I2(0));
    const size_t mark = Mark();
    CVariant result;
    ASSERT_EQ(InvokeMethod(Ctrl(), *m, args, &result), DISP_OK);
    EXPECT_EQ(Readable(Since(mark)), Readable(c.lines));
    for (const bool bMain : {true, false}) {
      SCOPED_TRACE(bMain ? "main" : "sub");
      const uint16_t want = bMain ? c.nMain : c.nSub;
      const auto batch = bMain ? TakeMain() : TakeSub();
      EXPECT_EQ(Codes(batch), want != 0 ? std::vector<uint16_t>{want} : std::vector<uint16_t>{});
      for (const auto& p : batch) {
        // Every text field empty: nothing but zeros behind the header,
        // except the selection flag.
        Packet body(p.begin() + HEADER_LENGTH, p.end());
        if (Code(p) == C_START_SELECT_RECORD || Code(p) == C_STOP_SELECT_RECORD)
          body[layout::SELECTION_FLAG - HEADER_LENGTH] = 0;
        EXPECT_EQ(body, Packet(body.size(), 0));
      }
    }
  }
}

// ---- a host that acts from inside its event handlers ------------------------------------------

TEST_F(CtrlTest, DisconnectFromORVInsideLoginSuccessReturnsPromptly) {
  ConnectBoth();
  bool called = false, result = false;
  uint64_t took = 0;
  m_sink.m_onEvent = [&](const SEvent& e) {
    if (e.strName != "LoginSuccess") return;
    const uint64_t start = Now();
    result = Ctrl().DisconnectFromORV();  // the main receive thread waits on this very event
    took = Now() - start;
    called = true;
  };
  ASSERT_TRUE(m_main.Send(LoginResult(3, 2), 0));
  ASSERT_TRUE(Pump([&] { return called; }));
  m_sink.m_onEvent = nullptr;
  EXPECT_TRUE(result);
  EXPECT_LT(took, 1000u);
  EXPECT_EQ(m_sink.Described(), std::vector<std::string>{"LoginSuccess 2"});
  EXPECT_EQ(Ctrl().GetAStatus(), 3);
  EXPECT_EQ(Ctrl().GetRType(), 2);
  EXPECT_FALSE(Ctrl().Manager().MainLink());
  EXPECT_FALSE(Ctrl().Manager().SubLink());
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
  EXPECT_TRUE(m_main.WaitPeerClosed(kDeadlineMs, 0));
  EXPECT_TRUE(m_sub.WaitPeerClosed(kDeadlineMs, 0));
}

TEST_F(CtrlTest, DestroyFromInsideAnEventHandlerWaitsUntilTheHandlerHasReturned) {
  ConnectBoth();
  CTessorCtrl* ctrl = m_ctrl.release();
  const platform::HWND hCtrl = ctrl->GetSafeHwnd(), hDlg = ctrl->Manager().GetSafeHwnd();
  CRecordingSink later;  // connected after m_sink
  ctrl->AddSink(&later);
  bool stillThere = false;
  m_sink.m_onEvent = [&](const SEvent& e) {
    if (e.strName != "LoginSuccess") return;
    CTessorCtrl::Destroy(ctrl);
    stillThere = platform::IsWindow(hCtrl) && ctrl->GetAStatus() == 3;  // the sanitizers see any use after free
  };
  ASSERT_TRUE(m_main.Send(LoginResult(3, 2), 0));
  const bool gone = Pump([&] { return !platform::IsWindow(hCtrl); });
  m_sink.m_onEvent = nullptr;
  if (!gone) m_ctrl.reset(ctrl);
  ASSERT_TRUE(gone);
  EXPECT_TRUE(stillThere);
  EXPECT_FALSE(platform::IsWindow(hDlg));
  EXPECT_EQ(later.Described(), std::vector<std::string>{}) << "no event once the destruction was asked for";
  EXPECT_TRUE(WaitUntil([] { return LiveLinkThreads() == 0; }, kDeadlineMs));
  EXPECT_TRUE(m_main.WaitPeerClosed(kDeadlineMs, 0));
  EXPECT_TRUE(m_sub.WaitPeerClosed(kDeadlineMs, 0));
}

}  // namespace
}  // namespace tessor::testing
