#include "link/Decoder.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/RunFlag.h"
#include "common/WindowMessages.h"
#include "platform/MessageBox.h"
#include "tests/link/RecordingOwner.h"
#include "tests/support/LogDir.h"
#include "tests/support/TestPeer.h"

namespace tessor {
namespace {

using Bytes = std::vector<uint8_t>;

// Stands for the control's window: records the messages it receives.
class CControlWindow : public platform::CWindow {
 public:
  ~CControlWindow() override { DestroyWindow(); }
  platform::LRESULT WindowProc(platform::UINT msg, platform::WPARAM w, platform::LPARAM l) override {
    if (msg >= WM_SET_CALLID && msg <= WM_SET_TELNUMBER) m_msgs.push_back({msg, l});
    return CWindow::WindowProc(msg, w, l);
  }
  std::vector<std::pair<platform::UINT, platform::LPARAM>> m_msgs;
};

struct SBox {
  platform::HWND owner;
  std::string caption, text;
  unsigned style;
};

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_ctrl.CreateWindowOn(nullptr));
    m_owner.m_hCtrl = m_ctrl.GetSafeHwnd();
    m_link = CORVInterface::Create();
    m_link->SetOwner(&m_owner);
    platform::SetMessageBoxPresenter([this](platform::HWND o, const std::string& c, const std::string& t, unsigned s) {
      m_boxes.push_back({o, c, t, s});
      return platform::IDOK;
    });
    g_bRun = true;
  }
  void TearDown() override {
    platform::SetMessageBoxPresenter({});
    g_bRun = false;
  }
  void Decode(const Bytes& b) {
    auto p = std::make_unique<PACKET_BUFFER>();
    ::memcpy(p->data, b.data(), std::min(b.size(), sizeof(p->data)));
    DecodePacket(*m_link, std::move(p));
  }
  static Bytes LoginResult(uint16_t result, uint16_t rectype = 0) {
    return CTestPeer::Packet(C_LOGIN_RESULT, SIZE_LOGIN_RESULT, [=](uint8_t* p) {
      PutU16(p + 16, result);
      PutU16(p + 203, rectype);
    });
  }
  CLogDir m_log;
  CControlWindow m_ctrl;
  CRecordingOwner m_owner;
  std::shared_ptr<CORVInterface> m_link;
  std::vector<SBox> m_boxes;
};

TEST_F(DecoderTest, LoginResultsBecomeLoginSuccessOrTheirBoxes) {
  struct SCase {
    uint16_t result;
    const char* text;  // nullptr: no box
  } cases[] = {
      {0, "존재하지 않는 아이디입니다."},
      {1, "비밀번호가 틀렸습니다."},
      {2, "이미 로그인한 상담원 아이디입니다."},
      {4, "알 수 없는 이유로 로그인이 실패하였습니다."},
      {5, "최대 동시 로그인 수를 초과하였습니다.\n\n관리자에게 문의하시기바랍니다."},
      {6, "테넌트 이름이 잘못되었습니다.\n\n입력된 테넌트 이름을 확인하시기 바랍니다."},
      {9, nullptr},
      {65535, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    m_boxes.clear();
    Decode(LoginResult(c.result));
    if (c.text == nullptr) {
      EXPECT_TRUE(m_boxes.empty());
      continue;
    }
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].owner, 0u);
    EXPECT_EQ(m_boxes[0].caption, "Tessor");
    EXPECT_EQ(m_boxes[0].text, K(c.text));
    EXPECT_EQ(m_boxes[0].style, 0x30u);
  }
  EXPECT_TRUE(m_ctrl.m_msgs.empty());
  EXPECT_TRUE(m_log.Raw().empty());  // no login result writes a line

  Decode(LoginResult(7));
  ASSERT_EQ(m_boxes.size(), 1u);
  EXPECT_EQ(m_boxes[0].owner, 77u);  // the manager's window
  EXPECT_EQ(m_boxes[0].caption, K("녹취에러"));
  EXPECT_EQ(m_boxes[0].text, K("입력하신 내선번호는 녹취가 불가능 합니다.\n\n관리자에게 반드시 확인 하십시요."));
  EXPECT_EQ(m_boxes[0].style, 0x10u);

  m_boxes.clear();
  Decode(LoginResult(3, 2));
  EXPECT_TRUE(m_boxes.empty());
  ASSERT_EQ(m_ctrl.m_msgs.size(), 1u);
  EXPECT_EQ(m_ctrl.m_msgs[0], std::make_pair(WM_LOGIN_SUCCESS, platform::LPARAM{2}));
}

TEST_F(DecoderTest, DeclaredSizeDecidesNotTheBytesRead) {
  struct SCase {
    uint16_t code, headerLen, bodyLen;
    const char* line;
  } cases[] = {
      {C_LOGIN_RESULT, 16, 196, "LOGIN RESULT INVALID PACKET SIZE - 213 : 212"},
      {C_LOGOUT_RESULT, 16, 98, "LOGOUT RESULT INVALID PACKET SIZE - 113 : 114"},
      {C_GET_RECORD_CALLID_RESPONSE, 0, 224, "GET RECORD CALLID RESPONSE INVALID PACKET SIZE - 240 : 224"},
      {C_RECORD_TYPE_CHANGED, 16, 0, "RECORD TYPE CHANGED INVALID PACKET SIZE - 42 : 16"},
      {C_AGENT_STATUS_CHANGED, 65535, 65535, "AGENT STATUS CHANGED INVALID PACKET SIZE - 42 : 131070"},
      {C_LOGOUT_ALARM, 16, 33, "LOGOUT ALARM INVALID PACKET SIZE - 48 : 49"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Decode(CTestPeer::RawHeader(c.code, c.headerLen, c.bodyLen));
    EXPECT_EQ(m_log.Messages().back(), c.line);
  }
  EXPECT_TRUE(m_ctrl.m_msgs.empty());
  EXPECT_TRUE(m_owner.Calls().empty());
  EXPECT_TRUE(g_bRun.load());

  // Header 32 + body 181 passes; the record type beyond what came reads 0.
  Bytes odd = CTestPeer::RawHeader(C_LOGIN_RESULT, 32, 181);
  odd.resize(16 + 181, 0);
  PutU16(odd.data() + 16, 3);
  Decode(odd);
  ASSERT_EQ(m_ctrl.m_msgs.size(), 1u);
  EXPECT_EQ(m_ctrl.m_msgs[0], std::make_pair(WM_LOGIN_SUCCESS, platform::LPARAM{0}));
}

TEST_F(DecoderTest, LogoutResultCallIdAndChanges) {
  Decode(CTestPeer::Packet(C_LOGOUT_RESULT, SIZE_LOGOUT_RESULT, [](uint8_t* p) { p[104] = 1; }));
  Decode(CTestPeer::Packet(C_LOGOUT_RESULT, SIZE_LOGOUT_RESULT));
  Decode(CTestPeer::Packet(C_GET_RECORD_CALLID_RESPONSE, SIZE_GET_RECORD_CALLID_RESPONSE,
                           [](uint8_t* p) { ::memset(p + 80, 'c', 128); }));  // not terminated
  Decode(CTestPeer::Packet(C_GET_RECORD_CALLID_RESPONSE, SIZE_GET_RECORD_CALLID_RESPONSE));
  EXPECT_EQ(m_owner.Calls(), (std::vector<std::string>{"disconnected:0", "disconnected:1",
                                                        "callid:" + std::string(127, 'c'), "callid:"}));

  Decode(CTestPeer::Packet(C_RECORD_TYPE_CHANGED, SIZE_RECORD_TYPE_CHANGED, [](uint8_t* p) { PutU16(p + 40, 1); }));
  Decode(CTestPeer::Packet(C_AGENT_STATUS_CHANGED, SIZE_AGENT_STATUS_CHANGED,
                           [](uint8_t* p) { PutU16(p + 40, 0xFFFF); }));
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"record type changed - 1", "agent status changed - 65535"}));
  EXPECT_EQ(m_ctrl.m_msgs, (std::vector<std::pair<platform::UINT, platform::LPARAM>>{
                               {WM_RECTYPE_CHANGE, 1}, {WM_AGENT_STATUS_CHANGE, 0xFFFF}}));
}

TEST_F(DecoderTest, ForcedLogoutClearsTheRunFlagBeforeTheWarning) {
  bool runSeenByBox = true;
  platform::SetMessageBoxPresenter([&](platform::HWND, const std::string&, const std::string& t, unsigned) {
    runSeenByBox = g_bRun.load();
    m_boxes.push_back({0, "", t, 0});
    return platform::IDOK;
  });
  Decode(CTestPeer::Packet(C_LOGOUT_ALARM, SIZE_LOGOUT_ALARM, [](uint8_t* p) { ::memset(p + 16, 'Z', 32); }));
  EXPECT_FALSE(g_bRun.load());
  EXPECT_FALSE(runSeenByBox);
  EXPECT_EQ(m_log.Messages(), (std::vector<std::string>{"C_LOGOUT_ALARM - g_bRun set false"}));
  EXPECT_EQ(m_owner.Calls(), (std::vector<std::string>{"alarm:" + std::string(32, 'Z')}));
  ASSERT_EQ(m_boxes.size(), 1u);
}

TEST_F(DecoderTest, CodesOutsideTheTableAreDroppedSilently) {
  for (uint16_t code : {C_LOGIN, C_LOGOUT, C_GET_RECORD_CALLID, C_KEEP_ALIVE, uint16_t{0}, uint16_t{0xFFFF}})
    Decode(CTestPeer::Packet(code, 240));
  EXPECT_TRUE(m_log.Raw().empty());
  EXPECT_TRUE(m_owner.Calls().empty());
  EXPECT_TRUE(m_ctrl.m_msgs.empty());
  EXPECT_TRUE(m_boxes.empty());
}

TEST_F(DecoderTest, ADetachedOwnerIsNeverCalled) {
  m_link->BeginTearDown();
  m_link->DetachOwner();
  Decode(CTestPeer::Packet(C_LOGOUT_RESULT, SIZE_LOGOUT_RESULT));
  Decode(LoginResult(3, 1));
  EXPECT_TRUE(m_owner.Calls().empty());
  EXPECT_TRUE(m_ctrl.m_msgs.empty());
}

}  // namespace
}  // namespace tessor
