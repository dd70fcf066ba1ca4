// DecodePacket on arbitrary packet buffers: the input, cut at the buffer's
// 4112 bytes, is what the receive loop would have handed on. Besides "no
// crash, no sanitizer report" every run checks what the decoder did
// against the inbound table, written here independently of the decoder:
// which notification, window message or box one packet may cause.
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "common/RunFlag.h"
#include "common/Texts.h"
#include "common/WindowMessages.h"
#include "fuzz/FuzzSupport.h"
#include "link/Decoder.h"
#include "link/Protocol.h"
#include "platform/MessageBox.h"
#include "tests/link/RecordingOwner.h"

namespace tessor::fuzz {
namespace {

// Stands for the control's window on this (the host) thread: a message
// sent from here runs its handler at once.
class CControlWindow : public platform::CWindow {
 public:
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

struct SFixture {
  CFuzzLog log;
  CControlWindow window;
  std::shared_ptr<CORVInterface> link = CORVInterface::Create();
  std::vector<SBox> boxes;

  SFixture() {
    FUZZ_CHECK(window.CreateWindowOn(nullptr));
    // Records the box and closes it at once, as an agent pressing OK.
    platform::SetMessageBoxPresenter([this](platform::HWND o, const std::string& c, const std::string& t, unsigned s) {
      boxes.push_back({o, c, t, s});
      return platform::IDOK;
    });
  }
};

uint16_t U16At(const uint8_t* p, size_t off) { return static_cast<uint16_t>(p[off] | (p[off + 1] << 8)); }

// A text field up to its first zero byte, at most max bytes.
std::string TextAt(const uint8_t* p, size_t off, size_t max) {
  const char* s = reinterpret_cast<const char*>(p + off);
  return std::string(s, ::strnlen(s, max));
}

void CheckNothing(const CRecordingOwner& owner, const SFixture& f) {
  FUZZ_CHECK(owner.Calls().empty());
  FUZZ_CHECK(f.window.m_msgs.empty());
  FUZZ_CHECK(f.boxes.empty());
}

void CheckOneMessage(const CRecordingOwner& owner, const SFixture& f, platform::UINT msg, platform::LPARAM l) {
  FUZZ_CHECK(owner.Calls().empty());
  FUZZ_CHECK(f.boxes.empty());
  FUZZ_CHECK(f.window.m_msgs.size() == 1);
  FUZZ_CHECK(f.window.m_msgs[0].first == msg && f.window.m_msgs[0].second == l);
}

void CheckOneBox(const CRecordingOwner& owner, const SFixture& f, const char* caption, const char* text, unsigned style,
                 platform::HWND hOwner) {
  FUZZ_CHECK(owner.Calls().empty());
  FUZZ_CHECK(f.window.m_msgs.empty());
  FUZZ_CHECK(f.boxes.size() == 1);
  FUZZ_CHECK(f.boxes[0].caption == caption && f.boxes[0].text == text);
  FUZZ_CHECK(f.boxes[0].style == style && f.boxes[0].owner == hOwner);
}

// What one decoded packet may do, by code and declared size.
void CheckEffects(const uint8_t* p, CRecordingOwner& owner, const SFixture& f) {
  const uint16_t code = U16At(p, 2);
  const unsigned declared = static_cast<unsigned>(U16At(p, 4)) + U16At(p, 6);
  struct SRow {
    uint16_t code;
    unsigned size;
  };
  static const SRow kRows[] = {{50, 213}, {52, 113}, {68, 240}, {96, 42}, {97, 42}, {105, 48}};
  const SRow* row = nullptr;
  for (const SRow& r : kRows)
    if (r.code == code) row = &r;
  if (row == nullptr || declared != row->size) {
    // Unknown codes vanish; a wrong size only leaves its log line.
    CheckNothing(owner, f);
    FUZZ_CHECK(g_bRun.load());
    return;
  }
  const platform::HWND hManager = owner.GetOwnerHwnd();  // the manager's window owns the error box
  switch (code) {
    case 50: {
      const uint16_t result = U16At(p, 16);
      static const TextId kTexts[] = {TEXT_LOGIN_RESULT_0, TEXT_LOGIN_RESULT_1, TEXT_LOGIN_RESULT_2, TEXT_COUNT,
                                      TEXT_LOGIN_RESULT_4, TEXT_LOGIN_RESULT_5, TEXT_LOGIN_RESULT_6};
      if (result == 3) {
        CheckOneMessage(owner, f, WM_LOGIN_SUCCESS, U16At(p, 203));
      } else if (result <= 6) {
        CheckOneBox(owner, f, "Tessor", GetText(kTexts[result]), 0x30, 0);
      } else if (result == 7) {
        CheckOneBox(owner, f, GetText(TEXT_CAPTION_ERROR), GetText(TEXT_LOGIN_RESULT_7), 0x10, hManager);
      } else {
        CheckNothing(owner, f);
      }
      break;
    }
    case 52:
      FUZZ_CHECK(owner.Calls() == std::vector<std::string>{p[104] != 0 ? "disconnected:0" : "disconnected:1"});
      FUZZ_CHECK(f.window.m_msgs.empty() && f.boxes.empty());
      break;
    case 68:
      FUZZ_CHECK(owner.Calls() == std::vector<std::string>{"callid:" + TextAt(p, 80, 127)});
      FUZZ_CHECK(f.window.m_msgs.empty() && f.boxes.empty());
      break;
    case 96:
      CheckOneMessage(owner, f, WM_RECTYPE_CHANGE, U16At(p, 40));
      break;
    case 97:
      CheckOneMessage(owner, f, WM_AGENT_STATUS_CHANGE, U16At(p, 40));
      break;
    case 105:
      FUZZ_CHECK(!g_bRun.load());
      FUZZ_CHECK(owner.Calls() == std::vector<std::string>{"alarm:" + TextAt(p, 16, 32)});
      // The recording owner fills the warning with the agent text.
      FUZZ_CHECK(f.boxes.size() == 1 && f.boxes[0].text == TextAt(p, 16, 32));
      break;
  }
  if (code != 105) FUZZ_CHECK(g_bRun.load());
}

}  // namespace
}  // namespace tessor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessor;
  using namespace tessor::fuzz;
  static SFixture* f = new SFixture;  // one per process, never destroyed
  f->log.Cap();
  g_bRun = true;  // a previous run may have decoded a forced log-out
  f->boxes.clear();
  f->window.m_msgs.clear();
  CRecordingOwner owner;
  owner.m_hCtrl = f->window.GetSafeHwnd();
  f->link->SetOwner(&owner);

  auto packet = std::make_unique<PACKET_BUFFER>();  // zero beyond the input
  if (size > sizeof(packet->data)) size = sizeof(packet->data);
  if (size > 0) ::memcpy(packet->data, data, size);
  uint8_t copy[sizeof(packet->data)];
  ::memcpy(copy, packet->data, sizeof(copy));
  DecodePacket(*f->link, std::move(packet));

  CheckEffects(copy, owner, *f);
  f->link->SetOwner(nullptr);
  return 0;
}
