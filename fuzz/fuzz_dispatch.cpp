// The dispatch layer as a host drives it: methods and properties by name or
// by DISPID, with arbitrary argument counts, types and texts (invalid
// UTF-8 converted through Utf8ToCp949 as the boundary does, raw CP949
// bytes, '%' sequences, texts of up to 1 MB), plus the window messages a
// receive thread would send. One control per process, created on this
// thread and activated, never connected anywhere:
//   - ConnectToORV is skipped: against a dead server it retries for about
//     eight seconds by design;
//   - ConnectToORV2 goes to 127.0.0.1 and a port that refuses, whatever
//     the input says (one attempt, refused at once);
//   - a main link object as left by a failed ConnectToORV can be put into
//     the main slot, so requests take the fail-over road;
//   - an empty call id is never delivered while SetInterval is above 0
//     (that pause holds the host thread on purpose).
// Checked: GetVersion, status codes of calls that cannot run, and that a
// property reads back what was written.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/WindowMessages.h"
#include "control/Dispatch.h"
#include "control/TessorCtrl.h"
#include "fuzz/FuzzSupport.h"
#include "platform/CodePage.h"
#include "platform/MessageBox.h"

namespace tessor::fuzz {
namespace {

constexpr size_t MAX_TEXT = 1 << 20;

// A port on 127.0.0.1 that is bound but not listening: connects are refused.
uint16_t RefusingPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(fd >= 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0);
  socklen_t len = sizeof(a);
  FUZZ_CHECK(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0);
  return ntohs(a.sin_port);  // fd stays open for the life of the process
}

class CCountingSink : public IEventSink {
 public:
  void OnEvent(int dispid, const char* name, const std::vector<CVariant>&) override {
    FUZZ_CHECK(dispid >= DISPID_EVENT_SETCALLID && dispid <= DISPID_EVENT_SETTELNUMBER && name != nullptr);
    ++m_nEvents;
  }
  unsigned m_nEvents = 0;
};

struct SFixture {
  CFuzzLog log;
  uint16_t nRefusingPort = RefusingPort();
  CTessorCtrl* pCtrl = new CTessorCtrl;  // never destroyed: one per process
  CCountingSink sink;

  SFixture() {
    FUZZ_CHECK(pCtrl->CreateControlWindow());
    pCtrl->AddSink(&sink);
    platform::SetMessageBoxPresenter(
        [](platform::HWND, const std::string&, const std::string&, unsigned) { return platform::IDOK; });
  }
};

const char* const kPercent[] = {"%s", "%n", "%x", "%p", "%d", "%%", "%ls", "%1$s", "%*d", "%.9999s", "%"};

// A text as the host might hand it over, in CP949 bytes.
std::string Text(CInput& in) {
  const uint8_t form = in.Byte();
  std::string s;
  switch (form % 4) {
    case 0:
      s = platform::Utf8ToCp949(in.Bytes(in.Byte()));
      break;  // UTF-8 host, possibly invalid
    case 1:
      s = in.Bytes(in.Byte());
      break;   // raw 8-bit bytes
    case 2: {  // format sequences among the bytes
      const unsigned n = in.InRange(1, 8);
      for (unsigned i = 0; i < n; ++i) {
        s += kPercent[in.Byte() % (sizeof(kPercent) / sizeof(kPercent[0]))];
        s += in.Bytes(in.Byte() % 4);
      }
      break;
    }
    default:
      s = platform::Utf16ToCp949(platform::Utf8ToUtf16(in.Bytes(in.Byte())));
      break;  // UTF-16 host
  }
  // Now and then a long text: the piece repeated up to 1 MB.
  if ((form & 0xF0) == 0xF0 && !s.empty()) {
    const size_t target = in.InRange(1, MAX_TEXT);
    while (s.size() < target) s += s;  // doubling: a few appends, not a byte loop
    s.resize(target);
  }
  return s;
}

CVariant Value(CInput& in, VT declared) {
  uint8_t t = in.Byte();
  // Mostly the declared type, so calls get past the conversion.
  if ((t & 0xC0) != 0 && declared != VT::EMPTY) {
    t = declared == VT::BSTR ? 1 : declared == VT::I2 ? 3 : declared == VT::UI2 ? 4 : declared == VT::I4 ? 5 : 6;
  }
  switch (t % 7) {
    case 0:
      return CVariant{};
    case 1:
      return CVariant::Text(Text(in));
    case 2:
      return CVariant::NullText();
    case 3:
      return CVariant::I2(static_cast<int16_t>(in.U16()));
    case 4:
      return CVariant::UI2(in.U16());
    case 5:
      return CVariant::I4(static_cast<int32_t>(in.U32()));
    default:
      return CVariant::Int(VT::BOOL, static_cast<int32_t>(in.U32()));  // also not 0 or 1
  }
}

const SMemberDesc& AnyMember(CInput& in) {
  const auto& all = InterfaceDescription();
  return all[in.Byte() % all.size()];
}

// A name that is a member's, or one near it, or any bytes.
std::string Name(CInput& in) {
  const uint8_t how = in.Byte() % 4;
  std::string name = AnyMember(in).szName;
  switch (how) {
    case 0:
      return name;
    case 1:
      name[in.Byte() % name.size()] ^= 0x20;
      return name;  // case changed
    case 2:
      return name + in.Bytes(in.Byte() % 4);
    default:
      return in.Bytes(in.Byte() % 40);
  }
}

void Invoke(SFixture& f, CInput& in, const SMemberDesc& m) {
  const bool bRightCount = (in.Byte() & 3) != 0;
  const size_t n = bRightCount ? m.params.size() : in.Byte() % 14;
  std::vector<CVariant> args;
  for (size_t i = 0; i < n; ++i) args.push_back(Value(in, i < m.params.size() ? m.params[i].vt : VT::EMPTY));
  if (m.nDispId == 1) return;  // ConnectToORV: see the top of the file
  if (m.nDispId == 10 && args.size() == 2) {
    args[0] = CVariant::Text("127.0.0.1");
    args[1] = CVariant::I4(static_cast<int16_t>(f.nRefusingPort));
  }
  CVariant result;
  const EDispStatus st = InvokeMethod(*f.pCtrl, m, args, &result);
  if (m.kind != EMemberKind::kMethod) {
    FUZZ_CHECK(st == DISP_NOT_A_METHOD);
    return;
  }
  if (args.size() != m.params.size()) FUZZ_CHECK(st == DISP_BAD_ARG_COUNT);
  if (st != DISP_OK) return;
  FUZZ_CHECK(result.vt == m.vtResult);
  if (m.vtResult == VT::I2) FUZZ_CHECK(result.n == 0 || result.n == 1);
  if (m.nDispId == 19) FUZZ_CHECK(result.str == "1.0.0.28");
  if (m.nDispId == 21) FUZZ_CHECK(result.n == 1);
}

void SetAndGet(SFixture& f, CInput& in, const SMemberDesc& m) {
  const CVariant v = Value(in, m.vtResult);
  const EDispStatus st = SetProperty(*f.pCtrl, m, v);
  if (m.kind != EMemberKind::kProperty) {
    FUZZ_CHECK(st == DISP_NOT_A_PROPERTY);
    return;
  }
  if (st != DISP_OK) return;
  CVariant back;
  FUZZ_CHECK(GetProperty(*f.pCtrl, m, &back) == DISP_OK);
  FUZZ_CHECK(back.vt == m.vtResult);
  if (m.vtResult == VT::BSTR) {
    // Texts cross the boundary zero-terminated: a NUL ends them.
    const std::string sent = v.vt == VT::BSTR && !v.bNull ? v.str : std::string();
    FUZZ_CHECK(back.str == sent.substr(0, sent.find('\0')));
    const std::string utf8 = platform::Cp949ToUtf8(back.str);  // outbound, as a host reads it
    (void)utf8;
  } else {
    FUZZ_CHECK(back.n == v.n);
  }
}

// What a receive thread would hand the control, sent from the host thread.
void Notify(SFixture& f, CInput& in) {
  CTessorCtrl& c = *f.pCtrl;
  const uint8_t what = in.Byte() % 7;
  if (what == 0) {
    const std::string text = Text(in);
    const std::string id = text.substr(0, text.find('\0'));  // what a zero-terminated text carries
    if (id.empty() && c.m_nInterval > 0) return;
    c.m_dlg.NotifyCallID(id.c_str());
    FUZZ_CHECK(c.GetCallIDProperty() == id.substr(0, 127));
    return;
  }
  const platform::UINT msg = WM_SET_CALLID + what;  // the other five messages
  const platform::LPARAM l = static_cast<platform::LPARAM>(static_cast<int32_t>(in.U32()));
  platform::SendMessage(c.GetSafeHwnd(), msg, 0, l);
}

// The main slot as a failed ConnectToORV leaves it: an unconnected link.
void PutDeadMainLink(SFixture& f) {
  CTessorDlg& dlg = f.pCtrl->m_dlg;
  if (dlg.MainLink()) return;
  std::shared_ptr<CORVInterface> link = CORVInterface::Create();
  link->SetOwner(&dlg);
  dlg.m_pMain = link;  // no thread of the library runs in this process
}

}  // namespace
}  // namespace tessor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessor;
  using namespace tessor::fuzz;
  static SFixture* f = new SFixture;
  f->log.Cap();
  CInput in(data, size);
  for (int ops = 0; ops < 64 && !in.Empty(); ++ops) {
    switch (in.Byte() % 8) {
      case 0:
      case 1:
        Invoke(*f, in, AnyMember(in));
        break;
      case 2: {
        const SMemberDesc* m = FindMember(Name(in));
        if (m != nullptr) Invoke(*f, in, *m);
        break;
      }
      case 3: {
        const SMemberDesc* m = FindMember(static_cast<int>(in.Byte()) - 8);
        if (m != nullptr) Invoke(*f, in, *m);
        break;
      }
      case 4:
        SetAndGet(*f, in, AnyMember(in));
        break;
      case 5: {
        CVariant v;
        const SMemberDesc& m = AnyMember(in);
        const EDispStatus st = GetProperty(*f->pCtrl, m, &v);
        FUZZ_CHECK((st == DISP_OK) == (m.kind == EMemberKind::kProperty));
        break;
      }
      case 6:
        Notify(*f, in);
        break;
      default:
        PutDeadMainLink(*f);
        break;
    }
  }
  return 0;
}
