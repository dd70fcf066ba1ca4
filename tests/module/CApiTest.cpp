// The C API of libtessor.so as a host sees it: factory, argument checks,
// host-thread rule, text conversion, events, window messages, destruction
// from inside an event, and a full round trip against a loopback peer.
#include "tessor/tessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/CApiTestUtil.h"
#include "tests/module/ModuleTestSupport.h"
#include "tests/support/Wait.h"

namespace tessor::moduletest {
namespace {

constexpr unsigned WM_SET_CALLID = 0x465;
constexpr unsigned WM_LOGIN_SUCCESS = 0x466;
constexpr unsigned WM_RECTYPE_CHANGE = 0x467;
constexpr unsigned WM_AGENT_STATUS_CHANGE = 0x468;
constexpr unsigned WM_DISCONNECTED = 0x469;
constexpr unsigned WM_SET_TELNUMBER = 0x46a;

class CApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_strLogDir = FreshLogDir();
    ASSERT_EQ(tessor_create(TESSOR_PROGID_CONTROL, &m_p), TESSOR_OK);
    ASSERT_NE(m_p, nullptr);
  }
  void TearDown() override {
    if (m_p != nullptr) {
      EXPECT_EQ(tessor_destroy(m_p), TESSOR_OK);
    }
    tessor_set_msgbox_presenter(nullptr, nullptr);
  }
  void Activate() { ASSERT_EQ(tessor_activate(m_p), TESSOR_OK); }
  int Connect(CRecorder* rec) {
    int cookie = 0;
    EXPECT_EQ(tessor_connect_events(m_p, &CRecorder::Sink, rec, &cookie), TESSOR_OK);
    return cookie;
  }
  tessor_status Invoke(const char* name, std::vector<tessor_value> args, tessor_value* result = nullptr) {
    return tessor_invoke(m_p, name, args.empty() ? nullptr : args.data(), args.size(), result);
  }
  std::string GetText(const char* prop) {
    tessor_value v{};
    EXPECT_EQ(tessor_get_property(m_p, prop, &v), TESSOR_OK);
    EXPECT_EQ(v.type, TESSOR_TEXT);
    return v.text != nullptr ? v.text : "(null)";
  }
  int32_t GetNumber(const char* prop) {
    tessor_value v{};
    EXPECT_EQ(tessor_get_property(m_p, prop, &v), TESSOR_OK);
    EXPECT_EQ(v.type, TESSOR_UI2);
    return v.i;
  }
  // Sends a window message from a second thread, as a receive thread does,
  // running the host loop until it has been handled.
  void SendFromThread(unsigned msg, intptr_t lparam) {
    std::atomic<bool> done{false};
    std::atomic<int> status{-1};
    std::thread t([&] {
      status = tessor_send_window_message(m_p, msg, lparam);
      done = true;
    });
    EXPECT_TRUE(RunUntil([&] { return done.load(); }, WAIT_MS));
    t.join();
    EXPECT_EQ(status.load(), TESSOR_OK);
  }

  std::string m_strLogDir;
  tessor_control* m_p = nullptr;
};

// ---- module data ---------------------------------------------------------------

TEST(CApiModule, VersionIsTheProjectVersionEverywhere) {
  EXPECT_STREQ(tessor_version(), "1.0.0.28");
  EXPECT_STREQ(tessor_version(), TESSOR_VERSION_TEXT);
  EXPECT_STREQ(tessor_version(), TESSOR_PROJECT_VERSION);
}

TEST(CApiModule, FactoryCreatesOnlyTheControl) {
  FreshLogDir();
  tessor_control* p = nullptr;
  ASSERT_EQ(tessor_create(TESSOR_PROGID_CONTROL, &p), TESSOR_OK);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(tessor_destroy(p), TESSOR_OK);

  const char* refused[] = {TESSOR_PROGID_PROPPAGE, "TESSOR.TessorCtrl.2", "tessor.tessorctrl.1", "", "TESSOR.TessorCtrl"};
  for (const char* progid : refused) {
    SCOPED_TRACE(progid);
    tessor_control* q = reinterpret_cast<tessor_control*>(0x1);
    EXPECT_EQ(tessor_create(progid, &q), TESSOR_E_UNKNOWN_PROGID);
    EXPECT_EQ(q, nullptr);
  }
}

// The identifiers were chosen once; hosts may have stored them.
TEST(CApiModule, RegistrationDataIsFixed) {
  const std::string info = tessor_registration_info();
  const char* lines[] = {
      "version=1.0.0.28",
      "control.progid=TESSOR.TessorCtrl.1",
      "control.clsid={4B1987AD-CBF5-4C61-A92B-1ED89EE5D226}",
      "control.typename=TESSOR.TessorCtrl.1",
      "control.threading=Apartment",
      "control.miscstatus=0x20191",
      "control.category.1=CATID_SafeForScripting",
      "control.category.1.description=Controls that are safely scriptable",
      "control.category.2=CATID_SafeForInitializing",
      "control.category.2.description=Controls safely initializable from persistent data",
      "proppage.progid=TESSOR.TessorPropPage.1",
      "proppage.clsid={7A17CC9B-3132-4062-B7F9-A3EEA4E3B908}",
      "proppage.typename=Tessor Property Page",
      "proppage.caption=일반",
      "typelib.id={F22DEBC8-F42E-4AD7-87B7-E263A557764B}",
      "typelib.name=TessorLib",
      "typelib.version=1.0",
      "typelib.lcid=0x409",
  };
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    EXPECT_NE(info.find(std::string(line) + "\n"), std::string::npos) << info;
  }
  EXPECT_EQ(tessor_registration_info(), tessor_registration_info()) << "one stable buffer";
}

TEST(CApiModule, StatusTextsAreDistinct) {
  std::vector<std::string> seen;
  for (int s = TESSOR_OK; s <= TESSOR_E_INTERNAL; ++s) {
    const std::string text = tessor_status_text(static_cast<tessor_status>(s));
    EXPECT_NE(text, "unknown status") << s;
    for (const auto& other : seen) EXPECT_NE(text, other) << s;
    seen.push_back(text);
  }
  EXPECT_STREQ(tessor_status_text(static_cast<tessor_status>(99)), "unknown status");
}

TEST(CApiModule, MemberTableDescribesInterfaceThenEvents) {
  ASSERT_EQ(tessor_member_count(), 28u);
  tessor_member_info m{};
  EXPECT_EQ(tessor_member_at(28, &m), TESSOR_E_INVALID_ARG);
  EXPECT_EQ(tessor_member_at(0, nullptr), TESSOR_E_INVALID_ARG);

  struct SWant {
    const char* name;
    int dispid, kind;
    tessor_type result;
    std::vector<std::pair<const char*, tessor_type>> params;
    const char* help;
  };
  const SWant wants[] = {
      {"ConnectToORV", 1, 0, TESSOR_I2, {{"server", TESSOR_TEXT}, {"port", TESSOR_I2}}, "메서드 ConnectToORV"},
      {"GetCallID", 4, 0, TESSOR_EMPTY, {{"ExtNo", TESSOR_TEXT}, {"AID", TESSOR_TEXT}, {"Tenant", TESSOR_TEXT}},
       "메서드 GetCallID"},
      {"CallID", 5, 1, TESSOR_TEXT, {}, ""},
      {"SendBasicInfo", 7, 0, TESSOR_EMPTY,
       {{"ExtNo", TESSOR_TEXT}, {"CallID", TESSOR_TEXT}, {"ANI", TESSOR_TEXT}, {"DNIS", TESSOR_TEXT},
        {"AID", TESSOR_TEXT}, {"Tenant", TESSOR_TEXT}, {"type", TESSOR_I2}},
       "메서드 SendBasicInfo"},
      {"AStatus", 17, 1, TESSOR_UI2, {}, ""},
      {"GetVersion", 19, 0, TESSOR_TEXT, {}, "메서드 GetVersion"},
      {"OcxVersion", 20, 1, TESSOR_TEXT, {}, ""},
      {"DisconnectFromORV", 21, 0, TESSOR_BOOL, {}, ""},
      {"SetCallID", 1, 2, TESSOR_EMPTY, {{"CallID", TESSOR_TEXT}}, "메서드 SetCallID"},
      {"LoginSuccess", 2, 2, TESSOR_EMPTY, {{"type", TESSOR_UI2}}, "메서드 LoginSuccess"},
      {"SetTelNumber", 7, 2, TESSOR_EMPTY, {{"Phone", TESSOR_TEXT}}, "메서드 SetTelNumber"},
  };
  std::vector<tessor_member_info> all(tessor_member_count());
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(tessor_member_at(i, &all[i]), TESSOR_OK);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].kind == 2, i >= 21) << all[i].name;
  for (const SWant& w : wants) {
    SCOPED_TRACE(w.name);
    const tessor_member_info* found = nullptr;
    for (const auto& info : all)
      if (std::strcmp(info.name, w.name) == 0 && info.kind == w.kind) found = &info;
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->dispid, w.dispid);
    EXPECT_EQ(found->result, w.result);
    EXPECT_STREQ(found->help, w.help);
    ASSERT_EQ(found->nparams, w.params.size());
    for (size_t p = 0; p < w.params.size(); ++p) {
      EXPECT_STREQ(found->param_names[p], w.params[p].first);
      EXPECT_EQ(found->param_types[p], w.params[p].second);
    }
  }
  // The storage is built once: a second look gives the same pointers.
  tessor_member_info again{};
  ASSERT_EQ(tessor_member_at(0, &again), TESSOR_OK);
  EXPECT_EQ(again.name, all[0].name);
  EXPECT_EQ(again.help, all[0].help);
}

// ---- argument checks --------------------------------------------------------------

TEST_F(CApiTest, NullPointersAreRefused) {
  tessor_value v{};
  tessor_value arg = Text("x");
  int cookie = 0;
  tessor_control* out = nullptr;
  auto sink = &CRecorder::Sink;
  struct SCase {
    const char* what;
    tessor_status got;
  };
  const SCase cases[] = {
      {"create progid", tessor_create(nullptr, &out)},
      {"create out", tessor_create(TESSOR_PROGID_CONTROL, nullptr)},
      {"activate", tessor_activate(nullptr)},
      {"destroy", tessor_destroy(nullptr)},
      {"invoke handle", tessor_invoke(nullptr, "GetVersion", nullptr, 0, &v)},
      {"invoke name", tessor_invoke(m_p, nullptr, nullptr, 0, &v)},
      {"invoke args", tessor_invoke(m_p, "SetInterval", nullptr, 1, &v)},
      {"invoke_id handle", tessor_invoke_id(nullptr, 19, nullptr, 0, &v)},
      {"invoke_id args", tessor_invoke_id(m_p, 16, nullptr, 1, &v)},
      {"get handle", tessor_get_property(nullptr, "CallID", &v)},
      {"get name", tessor_get_property(m_p, nullptr, &v)},
      {"get value", tessor_get_property(m_p, "CallID", nullptr)},
      {"set handle", tessor_set_property(nullptr, "CallID", &arg)},
      {"set name", tessor_set_property(m_p, nullptr, &arg)},
      {"set value", tessor_set_property(m_p, "CallID", nullptr)},
      {"get_id handle", tessor_get_property_id(nullptr, 5, &v)},
      {"get_id value", tessor_get_property_id(m_p, 5, nullptr)},
      {"set_id handle", tessor_set_property_id(nullptr, 5, &arg)},
      {"set_id value", tessor_set_property_id(m_p, 5, nullptr)},
      {"connect handle", tessor_connect_events(nullptr, sink, nullptr, &cookie)},
      {"connect fn", tessor_connect_events(m_p, nullptr, nullptr, &cookie)},
      {"connect cookie", tessor_connect_events(m_p, sink, nullptr, nullptr)},
      {"disconnect handle", tessor_disconnect_events(nullptr, 1)},
      {"send handle", tessor_send_window_message(nullptr, WM_LOGIN_SUCCESS, 0)},
      {"member out", tessor_member_at(0, nullptr)},
  };
  for (const SCase& c : cases) EXPECT_EQ(c.got, TESSOR_E_INVALID_ARG) << c.what;
  // A result pointer is optional.
  EXPECT_EQ(tessor_invoke(m_p, "GetVersion", nullptr, 0, nullptr), TESSOR_OK);
}

TEST_F(CApiTest, StaleAndGarbageHandlesAreRefused) {
  tessor_control* stale = nullptr;
  ASSERT_EQ(tessor_create(TESSOR_PROGID_CONTROL, &stale), TESSOR_OK);
  ASSERT_EQ(tessor_destroy(stale), TESSOR_OK);
  // Never dereferenced: the registry refuses them first.
  alignas(16) static char garbage[256];
  std::memset(garbage, 0xA5, sizeof(garbage));
  tessor_control* bad[] = {stale, reinterpret_cast<tessor_control*>(garbage),
                           reinterpret_cast<tessor_control*>(uintptr_t{0xdeadbeef})};
  for (tessor_control* h : bad) {
    tessor_value v{};
    tessor_value arg = Text("x");
    int cookie = 0;
    EXPECT_EQ(tessor_activate(h), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_invoke(h, "GetVersion", nullptr, 0, &v), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_invoke_id(h, 19, nullptr, 0, &v), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_get_property(h, "CallID", &v), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_set_property(h, "CallID", &arg), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_get_property_id(h, 5, &v), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_set_property_id(h, 5, &arg), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_connect_events(h, &CRecorder::Sink, nullptr, &cookie), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_disconnect_events(h, 1), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_send_window_message(h, WM_LOGIN_SUCCESS, 1), TESSOR_E_INVALID_ARG);
    EXPECT_EQ(tessor_destroy(h), TESSOR_E_INVALID_ARG);
  }
}

TEST_F(CApiTest, UnknownNamesAndWrongKinds) {
  tessor_value v{};
  tessor_value arg = Text("x");
  EXPECT_EQ(Invoke("NoSuchMethod", {}), TESSOR_E_UNKNOWN_NAME);
  EXPECT_EQ(Invoke("getversion", {}), TESSOR_E_UNKNOWN_NAME) << "names are case-sensitive";
  EXPECT_EQ(Invoke("LoginSuccess", {I2(1)}), TESSOR_E_UNKNOWN_NAME) << "events are not invocable";
  EXPECT_EQ(Invoke("CallID", {}), TESSOR_E_NOT_A_METHOD);
  EXPECT_EQ(tessor_invoke_id(m_p, 99, nullptr, 0, &v), TESSOR_E_UNKNOWN_NAME);
  EXPECT_EQ(tessor_invoke_id(m_p, 5, nullptr, 0, &v), TESSOR_E_NOT_A_METHOD);
  EXPECT_EQ(tessor_get_property(m_p, "NoSuch", &v), TESSOR_E_UNKNOWN_NAME);
  EXPECT_EQ(tessor_get_property(m_p, "GetVersion", &v), TESSOR_E_NOT_A_PROPERTY);
  EXPECT_EQ(tessor_set_property(m_p, "NoSuch", &arg), TESSOR_E_UNKNOWN_NAME);
  EXPECT_EQ(tessor_set_property(m_p, "ConnectToORV", &arg), TESSOR_E_NOT_A_PROPERTY);
  EXPECT_EQ(tessor_get_property_id(m_p, 0, &v), TESSOR_E_UNKNOWN_NAME);
  EXPECT_EQ(tessor_get_property_id(m_p, 1, &v), TESSOR_E_NOT_A_PROPERTY);
  EXPECT_EQ(tessor_set_property_id(m_p, 21, &arg), TESSOR_E_NOT_A_PROPERTY);
  EXPECT_EQ(tessor_disconnect_events(m_p, 12345), TESSOR_E_INVALID_ARG);
}

TEST_F(CApiTest, ArgumentCountTypeAndRange) {
  struct SCase {
    const char* method;
    std::vector<tessor_value> args;
    tessor_status want;
  };
  const SCase cases[] = {
      {"GetVersion", {Text("x")}, TESSOR_E_ARG_COUNT},
      {"ConnectToORV", {Text("127.0.0.1")}, TESSOR_E_ARG_COUNT},
      {"GetCallID", {Text("a"), Text("b")}, TESSOR_E_ARG_COUNT},
      {"SetInterval", {}, TESSOR_E_ARG_COUNT},
      {"ConnectToORV", {I2(1), I2(5100)}, TESSOR_E_ARG_TYPE},
      {"ConnectToORV", {Text("127.0.0.1"), Text("5100")}, TESSOR_E_ARG_TYPE},
      {"SetInterval", {Num(TESSOR_BOOL, 1)}, TESSOR_E_ARG_TYPE},
      {"SetInterval", {Text("1")}, TESSOR_E_ARG_TYPE},
      {"SetInterval", {NotAType(77)}, TESSOR_E_ARG_TYPE},
      {"GetCallID", {Text("a"), I2(1), Text("c")}, TESSOR_E_ARG_TYPE},
      {"SetInterval", {Num(TESSOR_I4, 32768)}, TESSOR_E_OUT_OF_RANGE},
      {"SetInterval", {Num(TESSOR_I4, -32769)}, TESSOR_E_OUT_OF_RANGE},
      {"SetInterval", {I2(40000)}, TESSOR_E_OUT_OF_RANGE},
      {"SetInterval", {Num(TESSOR_UI2, 32768)}, TESSOR_E_OUT_OF_RANGE},
      {"SetInterval", {Num(TESSOR_UI2, -1)}, TESSOR_E_OUT_OF_RANGE},
      {"SetInterval", {Num(TESSOR_I4, 32767)}, TESSOR_OK},
      {"SetInterval", {Num(TESSOR_I4, -32768)}, TESSOR_OK},
      {"SetInterval", {Num(TESSOR_UI2, 0)}, TESSOR_OK},
      {"SetInterval", {I2(0)}, TESSOR_OK},
      // An empty value or a null text is an absent text.
      {"GetCallID", {Num(TESSOR_EMPTY, 0), Text(nullptr), Text("T1")}, TESSOR_OK},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " with " + std::to_string(c.args.size()) + " args");
    EXPECT_EQ(Invoke(c.method, c.args), c.want);
  }
}

TEST_F(CApiTest, PropertyWritesCheckTypeAndRangeAndChangeNothingWhenRefused) {
  struct SCase {
    const char* prop;
    tessor_value value;
    tessor_status want;
  };
  const SCase cases[] = {
      {"AStatus", Num(TESSOR_I4, 65536), TESSOR_E_OUT_OF_RANGE},
      {"AStatus", Num(TESSOR_I4, -1), TESSOR_E_OUT_OF_RANGE},
      {"AStatus", Text("3"), TESSOR_E_ARG_TYPE},
      {"RType", Num(TESSOR_BOOL, 1), TESSOR_E_ARG_TYPE},
      {"CallID", I2(5), TESSOR_E_ARG_TYPE},
      {"OcxVersion", Num(TESSOR_UI2, 1), TESSOR_E_ARG_TYPE},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.prop);
    EXPECT_EQ(tessor_set_property(m_p, c.prop, &c.value), c.want);
  }
  EXPECT_EQ(GetNumber("AStatus"), 0);
  EXPECT_EQ(GetNumber("RType"), 0);
  EXPECT_EQ(GetText("CallID"), "");
  EXPECT_EQ(GetText("OcxVersion"), "1.0.0.28");

  const tessor_value big = Num(TESSOR_I4, 65535);
  EXPECT_EQ(tessor_set_property(m_p, "AStatus", &big), TESSOR_OK);
  EXPECT_EQ(GetNumber("AStatus"), 65535);
  const tessor_value rtype = Num(TESSOR_UI2, 7);
  EXPECT_EQ(tessor_set_property_id(m_p, 18, &rtype), TESSOR_OK);
  tessor_value v{};
  ASSERT_EQ(tessor_get_property_id(m_p, 18, &v), TESSOR_OK);
  EXPECT_EQ(v.type, TESSOR_UI2);
  EXPECT_EQ(v.i, 7);
  const tessor_value empty = Num(TESSOR_EMPTY, 0);
  EXPECT_EQ(tessor_set_property(m_p, "CallID", &empty), TESSOR_OK);
  EXPECT_EQ(GetText("CallID"), "");
}

TEST_F(CApiTest, NewControlAnswersItsInitialValues) {
  tessor_value r{};
  ASSERT_EQ(Invoke("GetVersion", {}, &r), TESSOR_OK);
  EXPECT_EQ(r.type, TESSOR_TEXT);
  EXPECT_STREQ(r.text, "1.0.0.28");
  ASSERT_EQ(tessor_invoke_id(m_p, 21, nullptr, 0, &r), TESSOR_OK);
  EXPECT_EQ(r.type, TESSOR_BOOL);
  EXPECT_EQ(r.i, 1) << "DisconnectFromORV without links is TRUE";
  EXPECT_EQ(GetText("CallID"), "");
  EXPECT_EQ(GetNumber("AStatus"), 0);
  EXPECT_EQ(GetNumber("RType"), 0);
  const tessor_value mine = Text("9.9");
  ASSERT_EQ(tessor_set_property(m_p, "OcxVersion", &mine), TESSOR_OK);
  EXPECT_EQ(GetText("OcxVersion"), "9.9");
  ASSERT_EQ(Invoke("GetVersion", {}, &r), TESSOR_OK);
  EXPECT_STREQ(r.text, "1.0.0.28");
}

// ---- threads -------------------------------------------------------------------------

TEST_F(CApiTest, OtherThreadsAreRefusedAndChangeNothing) {
  Activate();
  std::vector<std::pair<const char*, tessor_status>> got;
  tessor_status again = TESSOR_OK;
  std::thread t([&] {
    tessor_value v{};
    tessor_value arg = Text("changed");
    tessor_value interval = I2(1);
    int cookie = 0;
    got = {
        {"invoke", tessor_invoke(m_p, "GetVersion", nullptr, 0, &v)},
        {"invoke unknown", tessor_invoke(m_p, "NoSuch", nullptr, 0, &v)},
        {"invoke_id", tessor_invoke_id(m_p, 16, &interval, 1, &v)},
        {"get", tessor_get_property(m_p, "CallID", &v)},
        {"set", tessor_set_property(m_p, "CallID", &arg)},
        {"get_id", tessor_get_property_id(m_p, 17, &v)},
        {"set_id", tessor_set_property_id(m_p, 5, &arg)},
        {"connect", tessor_connect_events(m_p, &CRecorder::Sink, nullptr, &cookie)},
        {"disconnect", tessor_disconnect_events(m_p, 1)},
        {"destroy", tessor_destroy(m_p)},
    };
    again = tessor_activate(m_p);
  });
  t.join();
  for (const auto& [what, status] : got) EXPECT_EQ(status, TESSOR_E_WRONG_THREAD) << what;
  EXPECT_EQ(again, TESSOR_E_STATE) << "activating twice, whichever thread asks";
  EXPECT_EQ(GetText("CallID"), "") << "a refused write changed nothing";
  tessor_value v{};
  EXPECT_EQ(tessor_invoke(m_p, "GetVersion", nullptr, 0, &v), TESSOR_OK) << "still alive and usable here";
}

TEST_F(CApiTest, ActivationBindsTheActivatingThread) {
  // Created here, activated (and so owned) by another thread.
  std::atomic<int> activated{-1}, ownCall{-1}, destroyed{-1};
  std::thread t([&] {
    activated = tessor_activate(m_p);
    tessor_value v{};
    ownCall = tessor_invoke(m_p, "GetVersion", nullptr, 0, &v);
    // Our check from the creating thread happens while this thread waits.
  });
  t.join();
  EXPECT_EQ(activated.load(), TESSOR_OK);
  EXPECT_EQ(ownCall.load(), TESSOR_OK);
  tessor_value v{};
  EXPECT_EQ(tessor_invoke(m_p, "GetVersion", nullptr, 0, &v), TESSOR_E_WRONG_THREAD);
  EXPECT_EQ(tessor_destroy(m_p), TESSOR_E_WRONG_THREAD);
  // Its host thread is gone; a fresh thread may not destroy it either, so
  // the handle stays (the process end releases it).
  std::thread u([&] { destroyed = tessor_destroy(m_p); });
  u.join();
  EXPECT_EQ(destroyed.load(), TESSOR_E_WRONG_THREAD);
  m_p = nullptr;
}

// ---- window messages and events ---------------------------------------------------------

TEST_F(CApiTest, WindowMessagesBecomeEventsWithSignedArguments) {
  Activate();
  CRecorder rec;
  Connect(&rec);
  struct SCase {
    unsigned msg;
    intptr_t lparam;
    const char* event;
    int32_t arg;
    int32_t astatus, rtype;
  };
  const SCase cases[] = {
      {WM_LOGIN_SUCCESS, 5, "LoginSuccess", 5, 3, 5},
      {WM_AGENT_STATUS_CHANGE, 1, "AgentStatusChange", 1, 1, 5},
      {WM_RECTYPE_CHANGE, 0x1FFFF, "RecTypeChange", -1, 1, 65535},
      {WM_DISCONNECTED, 9, "Disconnected", 9, 1, 65535},
      {WM_LOGIN_SUCCESS, 0x8000, "LoginSuccess", -32768, 3, 32768},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.event);
    rec.Clear();
    SendFromThread(c.msg, c.lparam);
    ASSERT_EQ(rec.Events().size(), 1u);
    const SEvent& e = rec.Events()[0];
    EXPECT_EQ(e.name, c.event);
    ASSERT_EQ(e.args.size(), 1u);
    EXPECT_EQ(e.args[0].type, TESSOR_I2);
    EXPECT_EQ(e.args[0].i, c.arg);
    EXPECT_EQ(GetNumber("AStatus"), c.astatus);
    EXPECT_EQ(GetNumber("RType"), c.rtype);
  }

  rec.Clear();
  SendFromThread(WM_SET_TELNUMBER, 0);
  ASSERT_EQ(rec.Events().size(), 1u);
  EXPECT_EQ(rec.Events()[0].name, "SetTelNumber");
  EXPECT_EQ(rec.Events()[0].dispid, 7);
  ASSERT_EQ(rec.Events()[0].args.size(), 1u);
  EXPECT_EQ(rec.Events()[0].args[0].type, TESSOR_TEXT);
  EXPECT_EQ(rec.Events()[0].args[0].text, "");

  // From the host thread itself the handler runs at once.
  rec.Clear();
  EXPECT_EQ(tessor_send_window_message(m_p, WM_DISCONNECTED, 2), TESSOR_OK);
  ASSERT_EQ(rec.Count("Disconnected"), 1);
  EXPECT_EQ(rec.Last("Disconnected")->args[0].i, 2);
}

TEST_F(CApiTest, WindowMessageStates) {
  EXPECT_EQ(tessor_send_window_message(m_p, WM_LOGIN_SUCCESS, 1), TESSOR_E_STATE) << "no window yet";
  Activate();
  EXPECT_EQ(tessor_activate(m_p), TESSOR_E_STATE);
  for (unsigned msg : {0x0001u, 0x0002u, 0x000Fu, 0x0113u, 0x03FFu})
    EXPECT_EQ(tessor_send_window_message(m_p, msg, 0), TESSOR_E_INVALID_ARG) << msg;
  EXPECT_EQ(tessor_send_window_message(m_p, 0x0400, 0), TESSOR_OK) << "unknown user messages are ignored";
  EXPECT_EQ(GetNumber("AStatus"), 0);
}

TEST_F(CApiTest, SinksConnectAndDisconnect) {
  Activate();
  CRecorder a, b;
  const int ca = Connect(&a);
  const int cb = Connect(&b);
  EXPECT_NE(ca, cb);
  SendFromThread(WM_DISCONNECTED, 1);
  EXPECT_EQ(a.Count("Disconnected"), 1);
  EXPECT_EQ(b.Count("Disconnected"), 1);
  EXPECT_EQ(tessor_disconnect_events(m_p, ca), TESSOR_OK);
  EXPECT_EQ(tessor_disconnect_events(m_p, ca), TESSOR_E_INVALID_ARG);
  SendFromThread(WM_DISCONNECTED, 1);
  EXPECT_EQ(a.Count("Disconnected"), 1);
  EXPECT_EQ(b.Count("Disconnected"), 2);

  // A sink that disconnects itself while it runs.
  int self = 0;
  CRecorder c;
  ASSERT_EQ(tessor_connect_events(m_p, &CRecorder::Sink, &c, &self), TESSOR_OK);
  c.OnEvent([&](const SEvent&) { EXPECT_EQ(tessor_disconnect_events(m_p, self), TESSOR_OK); });
  SendFromThread(WM_DISCONNECTED, 1);
  SendFromThread(WM_DISCONNECTED, 1);
  EXPECT_EQ(c.Count("Disconnected"), 1);
  EXPECT_EQ(b.Count("Disconnected"), 4);
}

TEST_F(CApiTest, DestroyFromInsideAnEventCompletesInTheLoop) {
  Activate();
  CRecorder first, second;
  Connect(&first);
  Connect(&second);
  tessor_control* p = m_p;
  first.OnEvent([&](const SEvent&) {
    EXPECT_EQ(tessor_destroy(p), TESSOR_OK);
    // The handle is gone for every later call, also inside the event.
    tessor_value v{};
    EXPECT_EQ(tessor_invoke(p, "GetVersion", nullptr, 0, &v), TESSOR_E_INVALID_ARG);
  });
  SendFromThread(WM_LOGIN_SUCCESS, 2);
  m_p = nullptr;
  EXPECT_EQ(first.Count("LoginSuccess"), 1);
  EXPECT_EQ(second.Count("LoginSuccess"), 0) << "no sink runs after the destruction";
  EXPECT_EQ(tessor_loop_run_for(50), TESSOR_OK);  // the deferred part runs here
  EXPECT_EQ(tessor_destroy(p), TESSOR_E_INVALID_ARG);
}

TEST_F(CApiTest, DestroyInsideAnEventDuringAHostThreadSend) {
  Activate();
  CRecorder rec;
  Connect(&rec);
  tessor_control* p = m_p;
  rec.OnEvent([&](const SEvent&) { EXPECT_EQ(tessor_destroy(p), TESSOR_OK); });
  EXPECT_EQ(tessor_send_window_message(p, WM_DISCONNECTED, 0), TESSOR_OK);
  m_p = nullptr;
  EXPECT_EQ(rec.Count("Disconnected"), 1);
  EXPECT_EQ(tessor_loop_run_for(50), TESSOR_OK);
}

TEST_F(CApiTest, APendingSendIsReleasedWhenTheControlIsDestroyed) {
  Activate();
  std::atomic<bool> done{false};
  std::atomic<int> status{-1};
  std::thread t([&] {
    status = tessor_send_window_message(m_p, WM_LOGIN_SUCCESS, 1);
    done = true;
  });
  // The send is queued (work is waiting) but never dispatched: the host
  // destroys the control instead, which must release the sender.
  ASSERT_TRUE(WaitUntil([&] { return tessor_loop_next_deadline_ms() == 0; }, WAIT_MS));
  ASSERT_EQ(tessor_destroy(m_p), TESSOR_OK);
  m_p = nullptr;
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }, WAIT_MS));
  t.join();
  EXPECT_EQ(status.load(), TESSOR_OK);
}

// ---- texts -------------------------------------------------------------------------------

TEST_F(CApiTest, TextsRoundTripThroughCodePage949) {
  struct SCase {
    const char* in;
    const char* out;
  };
  const SCase cases[] = {
      {"20240305-0001", "20240305-0001"},
      {"가나다 상담", "가나다 상담"},
      {"call\xff" "id", "call?id"},          // invalid UTF-8
      {"\xc3(", "?("},                        // a cut sequence
      {"smile \xf0\x9f\x98\x80", "smile ?"},  // a character CP949 lacks
      {"", ""},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.in);
    const tessor_value v = Text(c.in);
    ASSERT_EQ(tessor_set_property(m_p, "CallID", &v), TESSOR_OK);
    EXPECT_EQ(GetText("CallID"), c.out);
  }
}

TEST_F(CApiTest, TextResultsStayValidUntilTheNextCall) {
  tessor_value r{};
  ASSERT_EQ(Invoke("GetVersion", {}, &r), TESSOR_OK);
  const std::string copy = r.text;
  tessor_value unused{};
  ASSERT_EQ(tessor_get_property(m_p, "AStatus", &unused), TESSOR_OK);  // no text: r is untouched
  EXPECT_EQ(copy, r.text);
}

// ---- a round trip against a loopback peer ---------------------------------------------------

class CApiRoundTrip : public CApiTest {
 protected:
  void SetUp() override {
    CApiTest::SetUp();
    ASSERT_TRUE(m_peer.Listen());
    Activate();
    Connect(&m_rec);
  }
  void TearDown() override {
    CApiTest::TearDown();
    m_peer.Stop();
  }
  void ConnectAndLogin(const char* ext) {
    tessor_value r{};
    ASSERT_EQ(Invoke("ConnectToORV", {Text("127.0.0.1"), PortArg(m_peer.Port())}, &r), TESSOR_OK);
    ASSERT_EQ(r.type, TESSOR_I2);
    ASSERT_EQ(r.i, 1);
    ASSERT_TRUE(m_peer.WaitAccepted(1, WAIT_MS));
    ASSERT_EQ(Invoke("LoginToORV", {Text(ext), Text("A100"), Text("1234"), Text("T1")}, &r), TESSOR_OK);
    EXPECT_EQ(r.i, 1);
    ASSERT_TRUE(WaitUntil([&] { return !PacketsWithCode(m_peer, CODE_LOGIN).empty(); }, WAIT_MS));
  }

  CTestPeer m_peer;
  CRecorder m_rec;
};

TEST_F(CApiRoundTrip, ConnectLoginCallIdDisconnect) {
  ConnectAndLogin("2001");
  const auto login = PacketsWithCode(m_peer, CODE_LOGIN);
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(Field(login[0], LOGIN_EXTNO_AT, 24), "2001");
  EXPECT_EQ(Field(login[0], LOGIN_AID_AT, 32), "A100");
  EXPECT_EQ(Field(login[0], LOGIN_PWD_AT, 32), "1234");
  EXPECT_EQ(Field(login[0], LOGIN_TENANT_AT, 32), "T1");

  ASSERT_TRUE(m_peer.Send(LoginResultPacket(3, 2)));
  ASSERT_TRUE(RunUntil([&] { return m_rec.Count("LoginSuccess") > 0; }, WAIT_MS));
  ASSERT_EQ(m_rec.Last("LoginSuccess")->args.size(), 1u);
  EXPECT_EQ(m_rec.Last("LoginSuccess")->args[0].type, TESSOR_I2);
  EXPECT_EQ(m_rec.Last("LoginSuccess")->args[0].i, 2);
  EXPECT_EQ(GetNumber("AStatus"), 3);
  EXPECT_EQ(GetNumber("RType"), 2);

  m_rec.Clear();
  tessor_value r{};
  ASSERT_EQ(Invoke("GetCallID", {Text("2001"), Text("A100"), Text("T1")}, &r), TESSOR_OK);
  EXPECT_EQ(r.type, TESSOR_EMPTY);
  ASSERT_TRUE(WaitUntil([&] { return !PacketsWithCode(m_peer, CODE_GET_CALLID).empty(); }, WAIT_MS));
  ASSERT_TRUE(m_peer.Send(CallIdPacket("20240305-0001")));
  ASSERT_TRUE(RunUntil([&] { return m_rec.Count("SetCurrentCallID") > 0; }, WAIT_MS));
  ASSERT_EQ(m_rec.Events().size(), 2u);
  EXPECT_EQ(m_rec.Events()[0].name, "SetCallID");
  EXPECT_TRUE(m_rec.Events()[0].args.empty());
  EXPECT_EQ(m_rec.Events()[1].name, "SetCurrentCallID");
  EXPECT_EQ(m_rec.Events()[1].dispid, 6);
  ASSERT_EQ(m_rec.Events()[1].args.size(), 1u);
  EXPECT_EQ(m_rec.Events()[1].args[0].text, "20240305-0001");
  EXPECT_EQ(GetText("CallID"), "20240305-0001");

  ASSERT_EQ(Invoke("DisconnectFromORV", {}, &r), TESSOR_OK);
  EXPECT_EQ(r.type, TESSOR_BOOL);
  EXPECT_EQ(r.i, 1);
  EXPECT_TRUE(m_peer.WaitPeerClosed(WAIT_MS));
  EXPECT_TRUE(LogHas(m_strLogDir, "SetCurrentCallID : CALLID(20240305-0001)"));
}

TEST_F(CApiRoundTrip, InvalidUtf8ReachesTheWireAndTheLogAsQuestionMarks) {
  ConnectAndLogin("20\xff" "01");
  const auto login = PacketsWithCode(m_peer, CODE_LOGIN);
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(Field(login[0], LOGIN_EXTNO_AT, 24), "20?01");
  EXPECT_TRUE(LogHas(m_strLogDir, "LoginToORV : Tenant(T1), DN(20?01), ID(A100), PWD(****)"));
}

TEST_F(CApiRoundTrip, CallIdInKoreanArrivesAsUtf8) {
  ConnectAndLogin("2001");
  tessor_value r{};
  ASSERT_EQ(Invoke("GetCallID", {Text("2001"), Text("A100"), Text("T1")}, &r), TESSOR_OK);
  ASSERT_TRUE(WaitUntil([&] { return !PacketsWithCode(m_peer, CODE_GET_CALLID).empty(); }, WAIT_MS));
  // "상담-1" in CP949, as a server sends it.
  ASSERT_TRUE(m_peer.Send(CallIdPacket("\xbb\xf3\xb4\xe3-1")));
  ASSERT_TRUE(RunUntil([&] { return m_rec.Count("SetCurrentCallID") > 0; }, WAIT_MS));
  EXPECT_EQ(m_rec.Last("SetCurrentCallID")->args[0].text, "상담-1");
  EXPECT_EQ(GetText("CallID"), "상담-1");
}

struct SBox {
  std::string caption, text;
  unsigned style = 0;
};

int RecordBox(void* user, const char* caption, const char* text, unsigned style) {
  auto* boxes = static_cast<std::vector<SBox>*>(user);
  boxes->push_back(SBox{caption, text, style});
  return 1;
}

TEST_F(CApiRoundTrip, LoginFailureBoxesReachThePresenterInUtf8) {
  std::vector<SBox> boxes;  // written on the receive thread; read after the waits below
  std::atomic<int> nBoxes{0};
  struct SCtx {
    std::vector<SBox>* boxes;
    std::atomic<int>* n;
  } ctx{&boxes, &nBoxes};
  tessor_set_msgbox_presenter(
      [](void* user, const char* caption, const char* text, unsigned style) {
        auto* c = static_cast<SCtx*>(user);
        RecordBox(c->boxes, caption, text, style);
        c->n->fetch_add(1);
        return 1;
      },
      &ctx);
  ConnectAndLogin("2001");
  ASSERT_TRUE(m_peer.Send(LoginResultPacket(0, 0)));
  ASSERT_TRUE(WaitUntil([&] { return nBoxes.load() >= 1; }, WAIT_MS));
  ASSERT_TRUE(m_peer.Send(LoginResultPacket(7, 0)));
  ASSERT_TRUE(WaitUntil([&] { return nBoxes.load() >= 2; }, WAIT_MS));
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, "Tessor");
  EXPECT_EQ(boxes[0].text, "존재하지 않는 아이디입니다.");
  EXPECT_EQ(boxes[0].style, 0x30u);
  EXPECT_EQ(boxes[1].caption, "녹취에러");
  EXPECT_EQ(boxes[1].style, 0x10u);
  EXPECT_EQ(m_rec.Count("LoginSuccess"), 0);
  tessor_set_msgbox_presenter(nullptr, nullptr);
  tessor_value r{};
  EXPECT_EQ(Invoke("DisconnectFromORV", {}, &r), TESSOR_OK);
}

TEST_F(CApiRoundTrip, DestroyWithLinksConnectedClosesThem) {
  ConnectAndLogin("2001");
  ASSERT_EQ(tessor_destroy(m_p), TESSOR_OK);
  m_p = nullptr;
  EXPECT_TRUE(m_peer.WaitPeerClosed(WAIT_MS));
}

// ---- the loop ----------------------------------------------------------------------------------

TEST_F(CApiTest, LoopEntryPoints) {
  EXPECT_GE(tessor_loop_fd(), 0);
  EXPECT_EQ(tessor_loop_run_for(-1), TESSOR_E_INVALID_ARG);
  EXPECT_EQ(tessor_loop_run_until(nullptr, nullptr, 0), 0);
  Activate();
  // The keep-alive timer is armed from activation on.
  const int next = tessor_loop_next_deadline_ms();
  EXPECT_GE(next, 0);
  EXPECT_LE(next, 10000);
  int calls = 0;
  auto pred = [](void* user) -> int { return ++*static_cast<int*>(user) >= 3 ? 7 : 0; };
  EXPECT_EQ(tessor_loop_run_until(pred, &calls, WAIT_MS), 7);
  // A message sent from another thread is work waiting: the descriptor
  // turns readable and one dispatch handles it.
  CRecorder rec;
  Connect(&rec);
  std::atomic<bool> done{false};
  std::thread t([&] {
    tessor_send_window_message(m_p, WM_DISCONNECTED, 4);
    done = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return tessor_loop_next_deadline_ms() == 0; }, WAIT_MS));
  int handled = 0;
  ASSERT_TRUE(WaitUntil([&] { return (handled += tessor_loop_dispatch()) > 0 && done.load(); }, WAIT_MS));
  t.join();
  EXPECT_EQ(rec.Count("Disconnected"), 1);
}

}  // namespace
}  // namespace tessor::moduletest
