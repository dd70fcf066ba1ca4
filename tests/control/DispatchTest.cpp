// Tests of the dispatch layer: the description table that stands in for
// the type library, invoking methods and properties with host values, the
// refusal of wrong arguments, and the host-thread rule.
#include "control/Dispatch.h"

#include "tests/control/ControlHarness.h"

namespace tessor::testing {
namespace {

class DispatchTest : public ControlFixture {
 protected:
  const SMemberDesc& Member(const char* name) {
    const SMemberDesc* m = FindMember(name);
    EXPECT_NE(m, nullptr) << name;
    static const SMemberDesc kNone{0, "", EMemberKind::kMethod, VT::EMPTY, {}, false};
    return m != nullptr ? *m : kNone;
  }
};

// "DISPID kind Name(TYPE param, ...) -> RESULT [help]", help readable.
std::string Signature(const SMemberDesc& m) {
  static const char* const kKinds[] = {"method", "property", "event"};
  std::string s = std::to_string(m.nDispId) + " " + kKinds[static_cast<int>(m.kind)] + " " + m.szName;
  if (m.kind != EMemberKind::kProperty) {
    s += "(";
    for (size_t i = 0; i < m.params.size(); ++i)
      s += std::string(i ? ", " : "") + VtName(m.params[i].vt) + " " + m.params[i].szName;
    s += ")";
  }
  if (m.kind != EMemberKind::kEvent) s += std::string(" -> ") + VtName(m.vtResult);
  return s + " [" + platform::Cp949ToUtf8(HelpString(m)) + "]";
}

TEST_F(DispatchTest, DescriptionTableNamesEveryMemberWithItsDispId) {
  const std::vector<std::string> kInterface = {
      "1 method ConnectToORV(BSTR server, I2 port) -> I2 [메서드 ConnectToORV]",
      "2 method LoginToORV(BSTR ExtNo, BSTR AID, BSTR PWD, BSTR Tenant) -> I2 [메서드 LoginToORV]",
      "3 method LogOffFromORV(BSTR ExtNo, BSTR AID, BSTR Tenant) -> I2 [메서드 LogOffFromORV]",
      "4 method GetCallID(BSTR ExtNo, BSTR AID, BSTR Tenant) -> void [메서드 GetCallID]",
      "5 property CallID -> BSTR []",
      "6 method SendMarkInfo(BSTR ExtNo, BSTR CallID, BSTR AID, BSTR Tenant) -> void [메서드 SendMarkInfo]",
      "7 method SendBasicInfo(BSTR ExtNo, BSTR CallID, BSTR ANI, BSTR DNIS, BSTR AID, BSTR Tenant, I2 type) -> void "
      "[메서드 SendBasicInfo]",
      "8 method SendPostInfo(BSTR ExtNo, BSTR CallID, BSTR start, BSTR desc, BSTR AID, BSTR Tenant) -> void "
      "[메서드 SendPostInfo]",
      "9 method SendExtendInfo(BSTR ExtNo, BSTR CallID, BSTR name, BSTR cid, BSTR ctel, BSTR info1, BSTR info2, "
      "BSTR info3, BSTR info4, BSTR info5, BSTR AID, BSTR Tenant) -> void [메서드 SendExtendInfo]",
      "10 method ConnectToORV2(BSTR server, I2 port) -> I2 [메서드 ConnectToORV2]",
      "11 method LoginToORV2(BSTR ExtNo, BSTR AID, BSTR PWD, BSTR Tenant) -> I2 [메서드 LoginToORV2]",
      "12 method LogOffFromORV2(BSTR ExtNo, BSTR AID, BSTR Tenant) -> I2 [메서드 LogOffFromORV2]",
      "13 method SetSelectionRecord(BSTR ExtNo, BSTR CallID, BSTR AID, BSTR Tenant) -> void "
      "[메서드 SetSelectionRecord]",
      "14 method StartSelectRecord(BSTR ExtNo, BSTR CallID, BSTR AID, BSTR Tenant) -> void [메서드 StartSelectRecord]",
      "15 method StopSelectRecord(BSTR ExtNo, BSTR CallID, BSTR AID, BSTR Tenant) -> void [메서드 StopSelectRecord]",
      "16 method SetInterval(I2 interval) -> void [메서드 SetInterval]",
      "17 property AStatus -> UI2 []",
      "18 property RType -> UI2 []",
      "19 method GetVersion() -> BSTR [메서드 GetVersion]",
      "20 property OcxVersion -> BSTR []",
      "21 method DisconnectFromORV() -> BOOL []",
  };
  const std::vector<std::string> kEvents = {
      "1 event SetCallID(BSTR CallID) [메서드 SetCallID]",
      "2 event LoginSuccess(UI2 type) [메서드 LoginSuccess]",
      "3 event RecTypeChange(UI2 type) [메서드 RecTypeChange]",
      "4 event AgentStatusChange(UI2 status) [메서드 AgentStatusChange]",
      "5 event Disconnected(UI2 status) [메서드 Disconnected]",
      "6 event SetCurrentCallID(BSTR CallID) [메서드 SetCurrentCallID]",
      "7 event SetTelNumber(BSTR Phone) [메서드 SetTelNumber]",
  };
  std::vector<std::string> members, events;
  for (const auto& m : InterfaceDescription()) members.push_back(Signature(m));
  for (const auto& e : EventDescription()) events.push_back(Signature(e));
  EXPECT_EQ(members, kInterface);
  EXPECT_EQ(events, kEvents);

  // Either key finds the same entry; names are case-sensitive.
  for (const auto& m : InterfaceDescription()) {
    SCOPED_TRACE(m.szName);
    EXPECT_EQ(FindMember(std::string(m.szName)), &m);
    EXPECT_EQ(FindMember(m.nDispId), &m);
  }
  EXPECT_EQ(FindMember(std::string("connecttoorv")), nullptr);
  EXPECT_EQ(FindMember(0), nullptr);
  EXPECT_EQ(FindMember(22), nullptr);

  const SLibraryDesc& lib = LibraryDescription();
  EXPECT_STREQ(lib.szLibrary, "TessorLib");
  EXPECT_EQ(lib.nMajor, 1);
  EXPECT_EQ(lib.nMinor, 0);
  EXPECT_EQ(lib.nLcid, 0x409);
  EXPECT_STREQ(lib.szClass, "Tessor");
  EXPECT_STREQ(lib.szDispatch, "_DTessor");
  EXPECT_STREQ(lib.szEvents, "_DTessorEvents");
}

TEST_F(DispatchTest, NewControlReadAndWrittenThroughTheDispatchLayer) {
  const size_t mark = Mark();
  auto get = [&](const char* name) {
    CVariant v;
    EXPECT_EQ(GetProperty(Ctrl(), Member(name), &v), DISP_OK) << name;
    return v;
  };
  EXPECT_EQ(get("CallID").vt, VT::BSTR);
  EXPECT_EQ(get("CallID").str, "");
  EXPECT_EQ(get("AStatus").vt, VT::UI2);
  EXPECT_EQ(get("AStatus").n, 0);
  EXPECT_EQ(get("RType").n, 0);
  EXPECT_EQ(get("OcxVersion").str, "1.0.0.28");
  EXPECT_EQ(Ctrl().m_nInterval, 0);
  CVariant version;
  ASSERT_EQ(InvokeMethod(Ctrl(), Member("GetVersion"), {}, &version), DISP_OK);
  EXPECT_EQ(version.vt, VT::BSTR);
  EXPECT_EQ(version.str, "1.0.0.28");
  EXPECT_FALSE(Ctrl().IsModified());

  // A host write changes the property only, and marks the control modified.
  ASSERT_EQ(SetProperty(Ctrl(), Member("OcxVersion"), CVariant::Text("9.9.9")), DISP_OK);
  EXPECT_TRUE(Ctrl().IsModified());
  EXPECT_EQ(get("OcxVersion").str, "9.9.9");
  ASSERT_EQ(InvokeMethod(Ctrl(), Member("GetVersion"), {}, &version), DISP_OK);
  EXPECT_EQ(version.str, "1.0.0.28");
  ASSERT_EQ(SetProperty(Ctrl(), Member("AStatus"), CVariant::UI2(65535)), DISP_OK);
  ASSERT_EQ(SetProperty(Ctrl(), Member("RType"), CVariant::I4(7)), DISP_OK);
  ASSERT_EQ(SetProperty(Ctrl(), Member("CallID"), CVariant::Text("CALL-H")), DISP_OK);
  EXPECT_EQ(get("AStatus").n, 65535);
  EXPECT_EQ(get("RType").n, 7);
  EXPECT_EQ(get("CallID").str, "CALL-H");

  // Never connected: DisconnectFromORV answers the automation true value.
  CVariant done;
  ASSERT_EQ(InvokeMethod(Ctrl(), Member("DisconnectFromORV"), {}, &done), DISP_OK);
  EXPECT_EQ(done.vt, VT::BOOL);
  EXPECT_EQ(done.n, 1);
  EXPECT_EQ(Readable(Since(mark)), "") << "property accesses and DisconnectFromORV write no line";
}

TEST_F(DispatchTest, MethodResultsComeBackWithTheirTypes) {
  ASSERT_TRUE(m_main.Listen());
  CVariant r;
  ASSERT_EQ(InvokeMethod(Ctrl(), Member("LoginToORV"),
                         {CVariant::Text("4001"), CVariant::Text("agent01"), CVariant::Text("pw"), CVariant::Text("T1")},
                         &r),
            DISP_OK);
  EXPECT_EQ(r.vt, VT::I2);
  EXPECT_EQ(r.n, 0) << "no main link yet";
  ASSERT_EQ(InvokeMethod(Ctrl(), Member("ConnectToORV"), {CVariant::Text("127.0.0.1"), CVariant::I2(I2(m_main.Port()))},
                         &r),
            DISP_OK);
  EXPECT_EQ(r.vt, VT::I2);
  EXPECT_EQ(r.n, 1) << "1, never the automation true value -1";
  ASSERT_EQ(InvokeMethod(Ctrl(), Member("LoginToORV"),
                         {CVariant::Text("4001"), CVariant::Text("agent01"), CVariant::Text("pw"), CVariant::Text("T1")},
                         &r),
            DISP_OK);
  EXPECT_EQ(r.vt, VT::I2);
  EXPECT_EQ(r.n, 1);
  ASSERT_EQ(InvokeMethod(Ctrl(), Member("GetCallID"), {CVariant::Text("4001"), CVariant::Text("agent01"), CVariant()},
                         &r),
            DISP_OK);
  EXPECT_EQ(r.vt, VT::EMPTY) << "a method without a result";
  ASSERT_TRUE(m_main.WaitPackets(2, kDeadlineMs, 0));
  EXPECT_EQ(Code(m_main.Packets(0)[1]), C_GET_RECORD_CALLID);
  EXPECT_EQ(Field(m_main.Packets(0)[1], layout::GETCALLID_TENANT, W_TENANT), "") << "EMPTY is an absent text";
}

TEST_F(DispatchTest, SetIntervalTakesEveryI2AndAnyIntegerThatFits) {
  struct SCase {
    const char* szName;
    CVariant value;
    int nStored;
  };
  const SCase kCases[] = {
      {"I2 3", CVariant::I2(3), 3},
      {"I2 32767, the largest: no upper bound", CVariant::I2(32767), 32767},
      {"I2 -5", CVariant::I2(-5), -5},
      {"I2 0", CVariant::I2(0), 0},
      {"I4 -32768 fits", CVariant::I4(-32768), -32768},
      {"UI2 5", CVariant::UI2(5), 5},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    const size_t mark = Mark();
    CVariant r = CVariant::Text("untouched");
    ASSERT_EQ(InvokeMethod(Ctrl(), Member("SetInterval"), {c.value}, &r), DISP_OK);
    EXPECT_EQ(r.vt, VT::EMPTY);
    EXPECT_EQ(Ctrl().m_nInterval, c.nStored);
    EXPECT_EQ(Readable(Since(mark)), Readable({"SetInterval - " + std::to_string(c.nStored)}));
  }
}

TEST_F(DispatchTest, WrongArgumentsAreRefusedBeforeAnythingRuns) {
  using V = CVariant;
  struct SCase {
    const char* szName;
    const char* szMember;
    std::vector<CVariant> args;
    EDispStatus status;
  };
  const SCase kCases[] = {
      {"too few arguments", "ConnectToORV", {V::Text("127.0.0.1")}, DISP_BAD_ARG_COUNT},
      {"too many arguments", "GetVersion", {V::I2(1)}, DISP_BAD_ARG_COUNT},
      {"none of four", "SendMarkInfo", {}, DISP_BAD_ARG_COUNT},
      {"a text for an I2", "SetInterval", {V::Text("3")}, DISP_BAD_ARG_TYPE},
      {"a BOOL for an I2", "SetInterval", {V::Bool(true)}, DISP_BAD_ARG_TYPE},
      {"nothing for an I2", "SetInterval", {V()}, DISP_BAD_ARG_TYPE},
      {"an I2 for a text", "GetCallID", {V::I2(4001), V::Text("agent01"), V::Text("T1")}, DISP_BAD_ARG_TYPE},
      {"only the last argument wrong", "LoginToORV", {V::Text("4001"), V::Text("agent01"), V::Text("pw"), V::I4(1)},
       DISP_BAD_ARG_TYPE},
      {"32768 for an I2", "SetInterval", {V::I4(32768)}, DISP_OUT_OF_RANGE},
      {"-32769 for an I2", "SetInterval", {V::I4(-32769)}, DISP_OUT_OF_RANGE},
      {"UI2 65535 for the I2 type", "SendBasicInfo",
       {V::Text("4001"), V::Text("C-1"), V::Text("1"), V::Text("2"), V::Text("agent01"), V::Text("T1"), V::UI2(65535)},
       DISP_OUT_OF_RANGE},
      {"a property is no method", "AStatus", {}, DISP_NOT_A_METHOD},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    const size_t mark = Mark();
    CVariant r = CVariant::Text("untouched");
    EXPECT_EQ(InvokeMethod(Ctrl(), Member(c.szMember), c.args, &r), c.status);
    EXPECT_EQ(r.str, "untouched");
    EXPECT_EQ(Readable(Since(mark)), "") << "the method did not run";
    EXPECT_EQ(Ctrl().m_nInterval, 0);
    EXPECT_EQ(LastLogin().DN(), "");
  }
}

TEST_F(DispatchTest, WrongPropertyValuesChangeNothing) {
  using V = CVariant;
  struct SCase {
    const char* szName;
    const char* szMember;
    CVariant value;
    EDispStatus status;
  };
  const SCase kCases[] = {
      {"AStatus -1", "AStatus", V::I4(-1), DISP_OUT_OF_RANGE},
      {"AStatus 65536", "AStatus", V::I4(65536), DISP_OUT_OF_RANGE},
      {"RType from a text", "RType", V::Text("5"), DISP_BAD_ARG_TYPE},
      {"CallID from a number", "CallID", V::I2(5), DISP_BAD_ARG_TYPE},
      {"OcxVersion from a BOOL", "OcxVersion", V::Bool(true), DISP_BAD_ARG_TYPE},
      {"a method is no property", "GetVersion", V::Text("x"), DISP_NOT_A_PROPERTY},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    EXPECT_EQ(SetProperty(Ctrl(), Member(c.szMember), c.value), c.status);
  }
  CVariant v;
  EXPECT_EQ(GetProperty(Ctrl(), Member("SetInterval"), &v), DISP_NOT_A_PROPERTY);
  EXPECT_EQ(Ctrl().GetAStatus(), 0);
  EXPECT_EQ(Ctrl().GetRType(), 0);
  EXPECT_EQ(Ctrl().GetCallIDProperty(), "");
  EXPECT_EQ(Ctrl().GetOcxVersion(), "1.0.0.28");
  EXPECT_FALSE(Ctrl().IsModified());
}

TEST_F(DispatchTest, CallsFromAnotherThreadAreRefused) {
  const size_t mark = Mark();
  const SMemberDesc &setInterval = Member("SetInterval"), &getVersion = Member("GetVersion"),
                    &aStatus = Member("AStatus");
  std::vector<EDispStatus> got;
  std::thread other([&] {
    CVariant r;
    got.push_back(InvokeMethod(Ctrl(), setInterval, {CVariant::I2(7)}, &r));
    got.push_back(InvokeMethod(Ctrl(), getVersion, {}, &r));
    got.push_back(GetProperty(Ctrl(), aStatus, &r));
    got.push_back(SetProperty(Ctrl(), aStatus, CVariant::UI2(1)));
  });
  other.join();
  EXPECT_EQ(got, std::vector<EDispStatus>(4, DISP_WRONG_THREAD));
  EXPECT_EQ(Ctrl().m_nInterval, 0);
  EXPECT_EQ(Ctrl().GetAStatus(), 0);
  EXPECT_FALSE(Ctrl().IsModified());
  EXPECT_EQ(Readable(Since(mark)), "");
  // The host thread itself is served.
  CVariant r;
  EXPECT_EQ(InvokeMethod(Ctrl(), setInterval, {CVariant::I2(7)}, &r), DISP_OK);
  EXPECT_EQ(Ctrl().m_nInterval, 7);
}

}  // namespace
}  // namespace tessor::testing
