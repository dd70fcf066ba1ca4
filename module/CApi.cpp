// The C API over the control and its dispatch layer.
//
// Handles. A tessor_control wraps one CTessorCtrl. Every live handle is in
// a registry (a set guarded by its mutex), so that a stale or garbage
// pointer is refused instead of followed. Only the registry lookup and the
// two atomics of a handle are touched off the host thread; everything else
// in a handle belongs to the host thread.
//
// Destruction from inside the control's own code (an event sink that
// destroys the control, or a call made from such a sink) is deferred: the
// handle leaves the registry at once, but its memory lives on until the
// last API frame that uses it has returned, and CTessorCtrl::Destroy defers
// the control itself in the same way.
//
// Texts cross this boundary in UTF-8 and live inside in CP949.
#include "tessor/tessor.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "control/Dispatch.h"
#include "control/TessorCtrl.h"
#include "module/Factory.h"
#include "module/Registration.h"
#include "platform/CodePage.h"
#include "platform/HostLoop.h"
#include "platform/MessageBox.h"

namespace {
class CSinkAdapter;
}

struct tessor_control {
  // Host thread only (see above).
  tessor::CTessorCtrl* pCtrl = nullptr;
  std::string strResult;  // the text of the last text result
  std::vector<std::unique_ptr<CSinkAdapter>> vecSinks;
  std::vector<std::unique_ptr<CSinkAdapter>> vecRetiredSinks;  // disconnected while a sink ran
  int nNextCookie = 1;
  int nDepth = 0;           // API frames on the stack that use this handle
  bool bDestroyed = false;  // out of the registry; freed when nDepth drops to 0

  // Read on any thread (under the registry lock or alone).
  std::atomic<std::thread::id> hostThread{std::this_thread::get_id()};
  // The host thread's loop, guarded by the registry lock. A thread id may be
  // reused once its thread has ended; the loop object tells the two apart.
  std::shared_ptr<tessor::platform::CHostLoop> pHostLoop;
  std::atomic<tessor::platform::HWND> hWnd{0};  // 0 until activated
  std::atomic<bool> bActivated{false};
};

namespace {

using tessor::CVariant;
using tessor::EDispStatus;
using tessor::VT;
namespace platform = tessor::platform;

// ---- the handle registry ------------------------------------------------------

struct SRegistry {
  std::mutex lock;
  std::unordered_set<const tessor_control*> live;  // guarded by lock
};

// Never destroyed: hosts may call in while static objects go away.
SRegistry& Reg() {
  static SRegistry* r = new SRegistry;
  return *r;
}

void Register(const tessor_control* h) {
  std::lock_guard<std::mutex> guard(Reg().lock);
  Reg().live.insert(h);
}

void Unregister(const tessor_control* h) {
  std::lock_guard<std::mutex> guard(Reg().lock);
  Reg().live.erase(h);
}

// A live handle called on its host thread.
tessor_status CheckHost(const tessor_control* h) {
  if (h == nullptr) return TESSOR_E_INVALID_ARG;
  std::lock_guard<std::mutex> guard(Reg().lock);
  if (Reg().live.count(h) == 0) return TESSOR_E_INVALID_ARG;
  if (h->hostThread.load() != std::this_thread::get_id()) return TESSOR_E_WRONG_THREAD;
  if (h->pHostLoop != platform::CHostLoop::ForCurrentThread()) return TESSOR_E_WRONG_THREAD;
  return TESSOR_OK;
}

void FreeHandle(tessor_control* h) { delete h; }

// Marks an API frame that uses a handle, so that a destruction inside it
// leaves the memory alone until the frame has returned. The memory is then
// freed from the host loop, not by the frame: a sink frame is still inside
// the control's code, and a method frame hands the caller a result text
// that lives in the handle. Host thread.
class CHandleScope {
 public:
  explicit CHandleScope(tessor_control* h) : m_h(h) { ++m_h->nDepth; }
  ~CHandleScope() {
    if (--m_h->nDepth != 0 || !m_h->bDestroyed) return;
    tessor_control* h = m_h;
    try {
      platform::CHostLoop::ForCurrentThread()->PostTask([h] { FreeHandle(h); });
    } catch (...) {
      // Out of memory: the handle stays allocated rather than freed under a caller.
    }
  }
  CHandleScope(const CHandleScope&) = delete;
  CHandleScope& operator=(const CHandleScope&) = delete;

 private:
  tessor_control* m_h;
};

// ---- values -------------------------------------------------------------------

tessor_status FromDisp(EDispStatus st) {
  switch (st) {
    case tessor::DISP_OK: return TESSOR_OK;
    case tessor::DISP_WRONG_THREAD: return TESSOR_E_WRONG_THREAD;
    case tessor::DISP_UNKNOWN_NAME: return TESSOR_E_UNKNOWN_NAME;
    case tessor::DISP_BAD_ARG_COUNT: return TESSOR_E_ARG_COUNT;
    case tessor::DISP_BAD_ARG_TYPE: return TESSOR_E_ARG_TYPE;
    case tessor::DISP_OUT_OF_RANGE: return TESSOR_E_OUT_OF_RANGE;
    case tessor::DISP_NOT_A_PROPERTY: return TESSOR_E_NOT_A_PROPERTY;
    case tessor::DISP_NOT_A_METHOD: return TESSOR_E_NOT_A_METHOD;
  }
  return TESSOR_E_INTERNAL;
}

tessor_type FromVt(VT vt) {
  switch (vt) {
    case VT::EMPTY: return TESSOR_EMPTY;
    case VT::BSTR: return TESSOR_TEXT;
    case VT::I2: return TESSOR_I2;
    case VT::UI2: return TESSOR_UI2;
    case VT::I4: return TESSOR_I4;
    case VT::BOOL: return TESSOR_BOOL;
  }
  return TESSOR_EMPTY;
}

// A host value as a dispatch value; the value's own range is checked here,
// the parameter's by the dispatch layer.
tessor_status ToVariant(const tessor_value& v, CVariant* out) {
  // A C host may store any number in the enum: read it as the number it is.
  std::underlying_type_t<tessor_type> type;
  static_assert(sizeof(type) == sizeof(v.type));
  std::memcpy(&type, &v.type, sizeof(type));
  switch (type) {
    case TESSOR_EMPTY:
      *out = CVariant();
      return TESSOR_OK;
    case TESSOR_TEXT:
      *out = v.text != nullptr ? CVariant::Text(platform::Utf8ToCp949(v.text)) : CVariant::NullText();
      return TESSOR_OK;
    case TESSOR_I2:
      if (v.i < INT16_MIN || v.i > INT16_MAX) return TESSOR_E_OUT_OF_RANGE;
      *out = CVariant::Int(VT::I2, v.i);
      return TESSOR_OK;
    case TESSOR_UI2:
      if (v.i < 0 || v.i > UINT16_MAX) return TESSOR_E_OUT_OF_RANGE;
      *out = CVariant::Int(VT::UI2, v.i);
      return TESSOR_OK;
    case TESSOR_I4:
      *out = CVariant::Int(VT::I4, v.i);
      return TESSOR_OK;
    case TESSOR_BOOL:
      *out = CVariant::Bool(v.i != 0);
      return TESSOR_OK;
  }
  return TESSOR_E_ARG_TYPE;
}

// A dispatch value for the host; a text goes to *storage, which must
// outlive the host's use of it.
void FromVariant(const CVariant& v, std::string* storage, tessor_value* out) {
  out->type = FromVt(v.vt);
  out->i = v.vt == VT::BSTR || v.vt == VT::EMPTY ? 0 : v.n;
  out->text = nullptr;
  if (v.vt == VT::BSTR && !v.bNull) {
    *storage = platform::Cp949ToUtf8(v.str);
    out->text = storage->c_str();
  }
}

// ---- events -------------------------------------------------------------------

class CSinkAdapter final : public tessor::IEventSink {
 public:
  CSinkAdapter(tessor_control* h, tessor_event_fn fn, void* user, int cookie)
      : m_h(h), m_fn(fn), m_pUser(user), m_nCookie(cookie) {}
  int Cookie() const { return m_nCookie; }

  // Host thread, inside the control's FireEvent.
  void OnEvent(int dispid, const char* name, const std::vector<CVariant>& args) override {
    try {
      std::vector<std::string> texts(args.size());
      std::vector<tessor_value> values(args.size());
      for (size_t i = 0; i < args.size(); ++i) FromVariant(args[i], &texts[i], &values[i]);
      // Copies first: the sink may disconnect itself or destroy the control.
      tessor_event_fn fn = m_fn;
      void* user = m_pUser;
      CHandleScope scope(m_h);
      fn(user, dispid, name, values.empty() ? nullptr : values.data(), values.size());
    } catch (...) {
      // Nothing may leave a sink into the control.
    }
  }

 private:
  tessor_control* m_h;
  tessor_event_fn m_fn;
  void* m_pUser;
  int m_nCookie;
};

// ---- the interface description ------------------------------------------------

struct SMemberStore {
  std::vector<tessor_member_info> infos;
  std::deque<std::vector<const char*>> names;
  std::deque<std::vector<tessor_type>> types;
  std::deque<std::string> helps;  // UTF-8
};

void AddMembers(SMemberStore& s, const std::vector<tessor::SMemberDesc>& members) {
  for (const auto& m : members) {
    auto& names = s.names.emplace_back();
    auto& types = s.types.emplace_back();
    for (const auto& p : m.params) {
      names.push_back(p.szName);
      types.push_back(FromVt(p.vt));
    }
    const std::string& help = s.helps.emplace_back(platform::Cp949ToUtf8(tessor::HelpString(m)));
    tessor_member_info info{};
    info.dispid = m.nDispId;
    info.name = m.szName;
    info.kind = m.kind == tessor::EMemberKind::kMethod ? 0 : m.kind == tessor::EMemberKind::kProperty ? 1 : 2;
    info.result = FromVt(m.vtResult);
    info.nparams = m.params.size();
    info.param_names = names.empty() ? nullptr : names.data();
    info.param_types = types.empty() ? nullptr : types.data();
    info.help = help.c_str();
    s.infos.push_back(info);
  }
}

// Built once, never freed: hosts keep the pointers.
const SMemberStore& Members() {
  static const SMemberStore* store = [] {
    auto* s = new SMemberStore;
    AddMembers(*s, tessor::InterfaceDescription());
    AddMembers(*s, tessor::EventDescription());
    return s;
  }();
  return *store;
}

// ---- shared bodies --------------------------------------------------------------

tessor_status Invoke(tessor_control* h, const tessor::SMemberDesc* m, const tessor_value* args, size_t nargs,
                     tessor_value* result) {
  if (m == nullptr) return TESSOR_E_UNKNOWN_NAME;
  if (m->kind != tessor::EMemberKind::kMethod) return TESSOR_E_NOT_A_METHOD;
  if (nargs != m->params.size()) return TESSOR_E_ARG_COUNT;
  std::vector<CVariant> vargs(nargs);
  for (size_t i = 0; i < nargs; ++i) {
    const tessor_status st = ToVariant(args[i], &vargs[i]);
    if (st != TESSOR_OK) return st;
  }
  CHandleScope scope(h);
  CVariant out;
  const tessor_status st = FromDisp(tessor::InvokeMethod(*h->pCtrl, *m, vargs, &out));
  if (st == TESSOR_OK && result != nullptr) FromVariant(out, &h->strResult, result);
  return st;
}

tessor_status GetProp(tessor_control* h, const tessor::SMemberDesc* m, tessor_value* value) {
  if (m == nullptr) return TESSOR_E_UNKNOWN_NAME;
  CVariant out;
  const tessor_status st = FromDisp(tessor::GetProperty(*h->pCtrl, *m, &out));
  if (st == TESSOR_OK) FromVariant(out, &h->strResult, value);
  return st;
}

tessor_status SetProp(tessor_control* h, const tessor::SMemberDesc* m, const tessor_value* value) {
  if (m == nullptr) return TESSOR_E_UNKNOWN_NAME;
  if (m->kind != tessor::EMemberKind::kProperty) return TESSOR_E_NOT_A_PROPERTY;
  CVariant v;
  const tessor_status st = ToVariant(*value, &v);
  if (st != TESSOR_OK) return st;
  return FromDisp(tessor::SetProperty(*h->pCtrl, *m, v));
}

bool ArgsValid(const tessor_value* args, size_t nargs) { return nargs == 0 || args != nullptr; }

}  // namespace

// ---- entry points -------------------------------------------------------------------

extern "C" {

const char* tessor_version(void) { return tessor::MODULE_VERSION; }

const char* tessor_status_text(tessor_status status) {
  switch (status) {
    case TESSOR_OK: return "ok";
    case TESSOR_E_INVALID_ARG: return "invalid argument (a null pointer or an invalid handle)";
    case TESSOR_E_WRONG_THREAD: return "called from a thread other than the control's host thread";
    case TESSOR_E_UNKNOWN_NAME: return "no such method, property or DISPID";
    case TESSOR_E_ARG_COUNT: return "wrong number of arguments";
    case TESSOR_E_ARG_TYPE: return "an argument of the wrong type";
    case TESSOR_E_OUT_OF_RANGE: return "an integer outside its 16-bit range";
    case TESSOR_E_UNKNOWN_PROGID: return "no control class of that ProgID";
    case TESSOR_E_NOT_A_PROPERTY: return "not a property";
    case TESSOR_E_NOT_A_METHOD: return "not a method";
    case TESSOR_E_STATE: return "not possible in the control's present state";
    case TESSOR_E_INTERNAL: return "internal failure";
  }
  return "unknown status";
}

tessor_status tessor_create(const char* progid, tessor_control** out) {
  try {
    if (out == nullptr) return TESSOR_E_INVALID_ARG;
    *out = nullptr;
    if (progid == nullptr) return TESSOR_E_INVALID_ARG;
    auto h = std::make_unique<tessor_control>();
    tessor::CTessorCtrl* pCtrl = nullptr;
    switch (tessor::CreateByProgId(progid, &pCtrl)) {
      case tessor::EFactoryStatus::kOk: break;
      case tessor::EFactoryStatus::kUnknownProgId:
      case tessor::EFactoryStatus::kNotAControl: return TESSOR_E_UNKNOWN_PROGID;
      case tessor::EFactoryStatus::kNoMemory: return TESSOR_E_INTERNAL;
    }
    h->pCtrl = pCtrl;
    h->pHostLoop = platform::CHostLoop::ForCurrentThread();
    Register(h.get());
    *out = h.release();
    return TESSOR_OK;
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_activate(tessor_control* ctl) {
  try {
    if (ctl == nullptr) return TESSOR_E_INVALID_ARG;
    {
      // The calling thread becomes the host thread: any thread may activate.
      std::lock_guard<std::mutex> guard(Reg().lock);
      if (Reg().live.count(ctl) == 0) return TESSOR_E_INVALID_ARG;
      if (ctl->bActivated.exchange(true)) return TESSOR_E_STATE;
      ctl->hostThread.store(std::this_thread::get_id());
      ctl->pHostLoop = platform::CHostLoop::ForCurrentThread();
    }
    CHandleScope scope(ctl);
    tessor::CTessorCtrl* pCtrl = ctl->pCtrl;
    pCtrl->BindHostThread();
    if (!pCtrl->CreateControlWindow()) return TESSOR_E_INTERNAL;
    ctl->hWnd.store(pCtrl->GetSafeHwnd());
    return TESSOR_OK;
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_destroy(tessor_control* ctl) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    Unregister(ctl);
    ctl->hWnd.store(0);
    tessor::CTessorCtrl* pCtrl = ctl->pCtrl;
    ctl->pCtrl = nullptr;
    ctl->bDestroyed = true;
    // The control never calls a sink of ours again, even when its own
    // destruction has to wait until its code has returned.
    for (auto& sink : ctl->vecSinks) pCtrl->RemoveSink(sink.get());
    tessor::CTessorCtrl::Destroy(pCtrl);
    if (ctl->nDepth == 0) FreeHandle(ctl);
    return TESSOR_OK;
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_invoke(tessor_control* ctl, const char* name, const tessor_value* args, size_t nargs,
                            tessor_value* result) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    if (name == nullptr || !ArgsValid(args, nargs)) return TESSOR_E_INVALID_ARG;
    return Invoke(ctl, tessor::FindMember(std::string(name)), args, nargs, result);
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_invoke_id(tessor_control* ctl, int dispid, const tessor_value* args, size_t nargs,
                               tessor_value* result) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    if (!ArgsValid(args, nargs)) return TESSOR_E_INVALID_ARG;
    return Invoke(ctl, tessor::FindMember(dispid), args, nargs, result);
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_get_property(tessor_control* ctl, const char* name, tessor_value* value) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    if (name == nullptr || value == nullptr) return TESSOR_E_INVALID_ARG;
    return GetProp(ctl, tessor::FindMember(std::string(name)), value);
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_set_property(tessor_control* ctl, const char* name, const tessor_value* value) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    if (name == nullptr || value == nullptr) return TESSOR_E_INVALID_ARG;
    return SetProp(ctl, tessor::FindMember(std::string(name)), value);
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_get_property_id(tessor_control* ctl, int dispid, tessor_value* value) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    if (value == nullptr) return TESSOR_E_INVALID_ARG;
    return GetProp(ctl, tessor::FindMember(dispid), value);
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_set_property_id(tessor_control* ctl, int dispid, const tessor_value* value) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    if (value == nullptr) return TESSOR_E_INVALID_ARG;
    return SetProp(ctl, tessor::FindMember(dispid), value);
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_connect_events(tessor_control* ctl, tessor_event_fn fn, void* user, int* cookie) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    if (fn == nullptr || cookie == nullptr) return TESSOR_E_INVALID_ARG;
    const int id = ctl->nNextCookie++;
    auto sink = std::make_unique<CSinkAdapter>(ctl, fn, user, id);
    ctl->pCtrl->AddSink(sink.get());
    ctl->vecSinks.push_back(std::move(sink));
    *cookie = id;
    return TESSOR_OK;
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_disconnect_events(tessor_control* ctl, int cookie) {
  try {
    const tessor_status st = CheckHost(ctl);
    if (st != TESSOR_OK) return st;
    for (auto it = ctl->vecSinks.begin(); it != ctl->vecSinks.end(); ++it) {
      if ((*it)->Cookie() != cookie) continue;
      ctl->pCtrl->RemoveSink(it->get());
      // A sink may disconnect itself while it runs: keep it until the handle goes.
      if (ctl->nDepth > 0) ctl->vecRetiredSinks.push_back(std::move(*it));
      ctl->vecSinks.erase(it);
      return TESSOR_OK;
    }
    return TESSOR_E_INVALID_ARG;
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

void tessor_set_msgbox_presenter(tessor_msgbox_fn fn, void* user) {
  try {
    if (fn == nullptr) {
      platform::SetMessageBoxPresenter({});
      return;
    }
    platform::SetMessageBoxPresenter(
        [fn, user](platform::HWND, const std::string& caption, const std::string& text, unsigned style) -> int {
          try {
            const std::string c = platform::Cp949ToUtf8(caption);
            const std::string t = platform::Cp949ToUtf8(text);
            return fn(user, c.c_str(), t.c_str(), style);
          } catch (...) {
            return platform::IDOK;
          }
        });
  } catch (...) {
    // Out of memory: the previous presenter stays.
  }
}

tessor_status tessor_send_window_message(tessor_control* ctl, unsigned msg, intptr_t lparam) {
  try {
    if (ctl == nullptr) return TESSOR_E_INVALID_ARG;
    platform::HWND hWnd = 0;
    {
      std::lock_guard<std::mutex> guard(Reg().lock);
      if (Reg().live.count(ctl) == 0) return TESSOR_E_INVALID_ARG;
      hWnd = ctl->hWnd.load();
    }
    // The framework's own messages (creation, destruction, timers, paint)
    // are not the host's to send.
    if (msg < platform::WM_USER) return TESSOR_E_INVALID_ARG;
    if (hWnd == 0) return TESSOR_E_STATE;
    // The handle is not touched again: it may be destroyed meanwhile, and
    // a send to a window that is gone answers 0.
    platform::SendMessage(hWnd, msg, 0, lparam);
    return TESSOR_OK;
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

tessor_status tessor_loop_run_for(int ms) {
  try {
    if (ms < 0) return TESSOR_E_INVALID_ARG;
    platform::CHostLoop::ForCurrentThread()->RunFor(ms);
    return TESSOR_OK;
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

int tessor_loop_run_until(int (*pred)(void* user), void* user, int ms) {
  try {
    if (pred == nullptr) {
      platform::CHostLoop::ForCurrentThread()->RunFor(ms);
      return 0;
    }
    int last = 0;
    platform::CHostLoop::ForCurrentThread()->RunUntil(
        [&] {
          last = pred(user);
          return last != 0;
        },
        ms);
    return last;
  } catch (...) {
    return 0;
  }
}

int tessor_loop_fd(void) {
  try {
    return platform::CHostLoop::ForCurrentThread()->PollFd();
  } catch (...) {
    return -1;
  }
}

int tessor_loop_dispatch(void) {
  try {
    return platform::CHostLoop::ForCurrentThread()->Dispatch();
  } catch (...) {
    return 0;
  }
}

int tessor_loop_next_deadline_ms(void) {
  try {
    return platform::CHostLoop::ForCurrentThread()->NextDeadlineMs();
  } catch (...) {
    return -1;
  }
}

size_t tessor_member_count(void) {
  try {
    return Members().infos.size();
  } catch (...) {
    return 0;
  }
}

tessor_status tessor_member_at(size_t index, tessor_member_info* out) {
  try {
    if (out == nullptr) return TESSOR_E_INVALID_ARG;
    const SMemberStore& s = Members();
    if (index >= s.infos.size()) return TESSOR_E_INVALID_ARG;
    *out = s.infos[index];
    return TESSOR_OK;
  } catch (...) {
    return TESSOR_E_INTERNAL;
  }
}

const char* tessor_registration_info(void) {
  try {
    return tessor::RegistrationText().c_str();
  } catch (...) {
    return "";
  }
}

}  // extern "C"
