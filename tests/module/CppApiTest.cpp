// The header-only C++ layer tessor.hpp: ownership, values, events, the
// loop and the message-box presenter, against the real library.
#include "tessor/tessor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/ModuleTestSupport.h"
#include "tests/support/Wait.h"

namespace tessor::moduletest {
namespace {

using api::Control;
using api::Event;
using api::Loop;
using api::Value;

constexpr int WAIT_MS = 10000;
constexpr unsigned WM_LOGIN_SUCCESS = 0x466;
constexpr unsigned WM_DISCONNECTED = 0x469;

class CppApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_strLogDir = FreshLogDir();
    m_ctl = Control::Create();
    ASSERT_TRUE(m_ctl.has_value());
  }
  void TearDown() override { api::SetMessageBoxPresenter({}); }

  // As a receive thread does, with the loop running here meanwhile.
  void SendFromThread(unsigned msg, intptr_t lparam) {
    std::atomic<bool> done{false};
    std::thread t([&] {
      EXPECT_EQ(m_ctl->SendWindowMessage(msg, lparam), TESSOR_OK);
      done = true;
    });
    EXPECT_TRUE(Loop::RunUntil([&] { return done.load(); }, WAIT_MS));
    t.join();
  }

  std::string m_strLogDir;
  std::optional<Control> m_ctl;
};

TEST(CppApiValue, KeepsTypeTextAndNumber) {
  EXPECT_TRUE(Value().IsEmpty());
  EXPECT_EQ(Value::Text("가나").Str(), "가나");
  EXPECT_TRUE(Value::NullText().IsNullText());
  EXPECT_FALSE(Value::Text("").IsNullText());
  EXPECT_NE(Value::Text(""), Value::NullText());
  EXPECT_EQ(Value::I2(-5).Number(), -5);
  EXPECT_EQ(Value::UI2(65535).Number(), 65535);
  EXPECT_EQ(Value::Bool(true).Type(), TESSOR_BOOL);

  const Value text = Value::Text("abc");
  const tessor_value c = text.ToC();
  EXPECT_EQ(c.type, TESSOR_TEXT);
  EXPECT_STREQ(c.text, "abc");
  EXPECT_EQ(c.text, text.Str().c_str()) << "no copy: the C form points into the Value";
  EXPECT_EQ(Value::NullText().ToC().text, nullptr);
  EXPECT_EQ(Value::FromC(c), text);
  EXPECT_EQ(Value::FromC(Value::I2(7).ToC()), Value::I2(7));
}

TEST(CppApiModule, VersionRegistrationAndMembers) {
  EXPECT_STREQ(api::Version(), "1.0.0.28");
  EXPECT_NE(api::RegistrationInfo().find("control.progid=TESSOR.TessorCtrl.1\n"), std::string::npos);
  const auto members = api::Members();
  ASSERT_EQ(members.size(), 28u);
  EXPECT_STREQ(members.front().name, "ConnectToORV");
  EXPECT_EQ(members.back().kind, 2);
}

TEST(CppApiModule, CreateRefusesThePropertyPage) {
  FreshLogDir();
  tessor_status st = TESSOR_OK;
  EXPECT_FALSE(Control::Create(TESSOR_PROGID_PROPPAGE, &st).has_value());
  EXPECT_EQ(st, TESSOR_E_UNKNOWN_PROGID);
  EXPECT_FALSE(Control::Create(nullptr, &st).has_value());
  EXPECT_EQ(st, TESSOR_E_INVALID_ARG);
}

TEST_F(CppApiTest, CallsGetsAndSets) {
  ASSERT_EQ(m_ctl->Activate(), TESSOR_OK);
  EXPECT_EQ(m_ctl->Activate(), TESSOR_E_STATE);
  const auto version = m_ctl->Call("GetVersion");
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->Str(), "1.0.0.28");
  EXPECT_FALSE(m_ctl->Call("NoSuch").has_value());
  EXPECT_EQ(m_ctl->Invoke("SetInterval", {Value::I4(40000)}), TESSOR_E_OUT_OF_RANGE);
  EXPECT_EQ(m_ctl->Invoke("SetInterval", {Value::I2(0)}), TESSOR_OK);
  Value connected;
  // Nobody listens on port 1: the attempt fails and answers 0.
  ASSERT_EQ(m_ctl->Invoke("ConnectToORV2", {Value::Text("127.0.0.1"), Value::I2(1)}, &connected), TESSOR_OK);
  EXPECT_EQ(connected, Value::I2(0));

  ASSERT_EQ(m_ctl->Set("CallID", Value::Text("상담 1")), TESSOR_OK);
  EXPECT_EQ(m_ctl->Get("CallID")->Str(), "상담 1");
  EXPECT_EQ(m_ctl->Get("AStatus"), Value::UI2(0));
  EXPECT_EQ(m_ctl->Set("AStatus", Value::Text("3")), TESSOR_E_ARG_TYPE);
  EXPECT_FALSE(m_ctl->Get("GetVersion").has_value());
}

TEST_F(CppApiTest, HandlersReceiveEventsAndCanBeRemoved) {
  ASSERT_EQ(m_ctl->Activate(), TESSOR_OK);
  std::vector<Event> seen;
  const auto cookie = m_ctl->OnEvent([&](const Event& e) { seen.push_back(e); });
  ASSERT_TRUE(cookie.has_value());
  EXPECT_FALSE(m_ctl->OnEvent({}).has_value());
  SendFromThread(WM_LOGIN_SUCCESS, 0xFFFF);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].strName, "LoginSuccess");
  EXPECT_EQ(seen[0].nDispId, 2);
  ASSERT_EQ(seen[0].args.size(), 1u);
  EXPECT_EQ(seen[0].args[0], Value::I2(-1));
  EXPECT_EQ(m_ctl->Get("RType"), Value::UI2(65535));

  EXPECT_EQ(m_ctl->RemoveEvent(*cookie), TESSOR_OK);
  EXPECT_EQ(m_ctl->RemoveEvent(*cookie), TESSOR_E_INVALID_ARG);
  SendFromThread(WM_DISCONNECTED, 1);
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(CppApiTest, AHandlerMayDestroyItsControl) {
  ASSERT_EQ(m_ctl->Activate(), TESSOR_OK);
  int calls = 0;
  m_ctl->OnEvent([&](const Event&) {
    ++calls;
    m_ctl.reset();  // the Control, its handlers and this lambda's holder go
  });
  m_ctl->OnEvent([&](const Event&) { ++calls; });
  std::atomic<bool> done{false};
  tessor_control* raw = m_ctl->Handle();
  std::thread t([&] {
    tessor_send_window_message(raw, WM_DISCONNECTED, 3);
    done = true;
  });
  EXPECT_TRUE(Loop::RunUntil([&] { return done.load(); }, WAIT_MS));
  t.join();
  EXPECT_FALSE(m_ctl.has_value());
  EXPECT_EQ(calls, 1) << "the second handler is not called after the destruction";
  EXPECT_EQ(Loop::RunFor(20), TESSOR_OK);
}

TEST_F(CppApiTest, MovedControlKeepsItsHandlers) {
  ASSERT_EQ(m_ctl->Activate(), TESSOR_OK);
  int calls = 0;
  m_ctl->OnEvent([&](const Event&) { ++calls; });
  Control moved = std::move(*m_ctl);
  EXPECT_EQ(m_ctl->Handle(), nullptr);
  EXPECT_EQ(m_ctl->Activate(), TESSOR_E_INVALID_ARG);
  m_ctl.reset();
  std::atomic<bool> done{false};
  std::thread t([&] {
    moved.SendWindowMessage(WM_DISCONNECTED, 1);
    done = true;
  });
  EXPECT_TRUE(Loop::RunUntil([&] { return done.load(); }, WAIT_MS));
  t.join();
  EXPECT_EQ(calls, 1);
}

TEST_F(CppApiTest, LoopRunUntilAnswersTheLastValue) {
  int n = 0;
  EXPECT_TRUE(Loop::RunUntil([&] { return ++n == 3; }, WAIT_MS));
  EXPECT_EQ(n, 3);
  EXPECT_FALSE(Loop::RunUntil([] { return false; }, 20));
  EXPECT_GE(Loop::Fd(), 0);
}

TEST_F(CppApiTest, PresenterGetsUtf8BoxesFromTheReceiveThread) {
  std::atomic<int> boxes{0};
  std::string caption, text;  // written before boxes is raised
  unsigned style = 0;
  api::SetMessageBoxPresenter([&](std::string_view c, std::string_view t, unsigned s) {
    caption = c;
    text = t;
    style = s;
    boxes.fetch_add(1);
    return 1;
  });
  ASSERT_EQ(m_ctl->Activate(), TESSOR_OK);
  CTestPeer peer;
  ASSERT_TRUE(peer.Listen());
  Value r;
  ASSERT_EQ(m_ctl->Invoke("ConnectToORV", {Value::Text("127.0.0.1"), Value::I2(static_cast<int16_t>(peer.Port()))}, &r),
            TESSOR_OK);
  ASSERT_EQ(r, Value::I2(1));
  ASSERT_TRUE(peer.WaitAccepted(1, WAIT_MS));
  ASSERT_EQ(m_ctl->Invoke("LoginToORV", {Value::Text("2001"), Value::Text("A100"), Value::Text("1"), Value::Text("T1")}),
            TESSOR_OK);
  ASSERT_TRUE(WaitUntil([&] { return !PacketsWithCode(peer, CODE_LOGIN).empty(); }, WAIT_MS));
  ASSERT_TRUE(peer.Send(LoginResultPacket(7, 0)));
  ASSERT_TRUE(WaitUntil([&] { return boxes.load() == 1; }, WAIT_MS));
  EXPECT_EQ(caption, "녹취에러");
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(style, 0x10u);
  EXPECT_EQ(m_ctl->Invoke("DisconnectFromORV"), TESSOR_OK);
  peer.Stop();
}

}  // namespace
}  // namespace tessor::moduletest
