// Tessor C++ API: a header-only layer over the C API of tessor.h, for C++17
// hosts and later. Everything lives in namespace tessor::api.
//
//   auto ctl = tessor::api::Control::Create();
//   ctl->Activate();                      // this thread becomes the host thread
//   ctl->OnEvent([](const tessor::api::Event& e) { ... });
//   ctl->Invoke("ConnectToORV", {tessor::api::Value::Text("127.0.0.1"), tessor::api::Value::I2(5100)});
//   tessor::api::Loop::RunFor(1000);      // events are delivered meanwhile
//
// Failures are status codes (tessor_status) or empty optionals; nothing
// here throws. A callback that throws is stopped at this layer's edge and
// its exception dropped (exceptions never cross the C API).
//
// Threads: as in tessor.h. A Control and its handlers belong to the host
// thread; the message-box presenter is called on the thread showing the box.
#ifndef TESSOR_TESSOR_HPP
#define TESSOR_TESSOR_HPP

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessor/tessor.h"

namespace tessor::api {

using Status = tessor_status;

inline const char* StatusText(Status status) { return tessor_status_text(status); }
inline const char* Version() { return tessor_version(); }
// "key=value" lines: ProgIDs, class and library ids, version, threading.
inline std::string RegistrationInfo() { return tessor_registration_info(); }

// One value for a method argument, a result, a property or an event
// argument. Texts are UTF-8; an absent (null) text is distinct from "".
class Value {
 public:
  Value() = default;  // empty: no value

  static Value Text(std::string_view utf8) {
    Value v;
    v.m_type = TESSOR_TEXT;
    v.m_str.assign(utf8.data(), utf8.size());
    return v;
  }
  static Value NullText() {
    Value v;
    v.m_type = TESSOR_TEXT;
    v.m_bNull = true;
    return v;
  }
  static Value I2(int16_t n) { return Int(TESSOR_I2, n); }
  static Value UI2(uint16_t n) { return Int(TESSOR_UI2, n); }
  // Any integer; the library checks it against the parameter's range.
  static Value I4(int32_t n) { return Int(TESSOR_I4, n); }
  static Value Bool(bool b) { return Int(TESSOR_BOOL, b ? 1 : 0); }
  static Value Int(tessor_type type, int32_t n) {
    Value v;
    v.m_type = type;
    v.m_n = n;
    return v;
  }
  // A copy of a value the library handed out (its text is copied).
  static Value FromC(const tessor_value& c) {
    Value v;
    v.m_type = c.type;
    if (c.type == TESSOR_TEXT) {
      v.m_bNull = c.text == nullptr;
      if (c.text != nullptr) v.m_str = c.text;
    } else if (c.type != TESSOR_EMPTY) {
      v.m_n = c.i;
    }
    return v;
  }

  tessor_type Type() const { return m_type; }
  bool IsEmpty() const { return m_type == TESSOR_EMPTY; }
  bool IsText() const { return m_type == TESSOR_TEXT; }
  bool IsNullText() const { return m_type == TESSOR_TEXT && m_bNull; }
  // The text ("" for a null text and for numbers).
  const std::string& Str() const { return m_str; }
  // The number (0 for texts and the empty value).
  int32_t Number() const { return m_n; }

  // The C form; its text points into this Value and lives as long as it.
  tessor_value ToC() const {
    tessor_value c{};
    c.type = m_type;
    c.i = m_n;
    c.text = m_type == TESSOR_TEXT && !m_bNull ? m_str.c_str() : nullptr;
    return c;
  }

  bool operator==(const Value& o) const {
    return m_type == o.m_type && m_n == o.m_n && m_bNull == o.m_bNull && m_str == o.m_str;
  }
  bool operator!=(const Value& o) const { return !(*this == o); }

 private:
  tessor_type m_type = TESSOR_EMPTY;
  int32_t m_n = 0;
  std::string m_str;
  bool m_bNull = false;
};

// One event as it fires: 16-bit events carry one TESSOR_I2 argument, the
// call-id and telephone events one text, SetCallID none.
struct Event {
  int nDispId = 0;
  std::string strName;
  std::vector<Value> args;
};

using EventHandler = std::function<void(const Event&)>;

// The control, owned: the destructor destroys it (on the host thread; see
// tessor_destroy for a destruction from inside one of its own events).
class Control {
 public:
  // Creates a control through the factory; *pStatus (when given) says why
  // none was made.
  static std::optional<Control> Create(const char* progid = TESSOR_PROGID_CONTROL, Status* pStatus = nullptr) {
    tessor_control* p = nullptr;
    const Status st = tessor_create(progid, &p);
    if (pStatus != nullptr) *pStatus = st;
    if (st != TESSOR_OK) return std::nullopt;
    return Control(p);
  }

  Control(Control&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)), m_handlers(std::move(o.m_handlers)) {}
  Control& operator=(Control&& o) noexcept {
    if (this != &o) {
      Destroy();
      m_p = std::exchange(o.m_p, nullptr);
      m_handlers = std::move(o.m_handlers);
    }
    return *this;
  }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  ~Control() { Destroy(); }

  // Creates the control's window; the calling thread becomes the host thread.
  Status Activate() { return tessor_activate(m_p); }

  // Destroys the control now (or as tessor_destroy defers it). Afterwards
  // every call answers TESSOR_E_INVALID_ARG.
  Status Destroy() {
    if (m_p == nullptr) return TESSOR_E_INVALID_ARG;
    const Status st = tessor_destroy(m_p);
    if (st == TESSOR_E_WRONG_THREAD) return st;  // still alive: keep it
    m_p = nullptr;
    // The library no longer calls these; a handler running right now works
    // on its own copy (see Trampoline).
    m_handlers.clear();
    return st;
  }

  // Calls a method with its arguments in dispatch order.
  Status Invoke(std::string_view name, const std::vector<Value>& args, Value* pResult = nullptr) {
    std::vector<tessor_value> c;
    c.reserve(args.size());
    for (const Value& v : args) c.push_back(v.ToC());
    tessor_value out{};
    const std::string n(name);
    const Status st = tessor_invoke(m_p, n.c_str(), c.empty() ? nullptr : c.data(), c.size(), &out);
    if (st == TESSOR_OK && pResult != nullptr) *pResult = Value::FromC(out);
    return st;
  }
  Status Invoke(std::string_view name, std::initializer_list<Value> args = {}, Value* pResult = nullptr) {
    return Invoke(name, std::vector<Value>(args), pResult);
  }
  // The method's result, or nothing when the call was refused.
  std::optional<Value> Call(std::string_view name, std::initializer_list<Value> args = {}) {
    Value result;
    if (Invoke(name, std::vector<Value>(args), &result) != TESSOR_OK) return std::nullopt;
    return result;
  }

  Status Get(std::string_view name, Value* pValue) {
    tessor_value out{};
    const std::string n(name);
    const Status st = tessor_get_property(m_p, n.c_str(), &out);
    if (st == TESSOR_OK && pValue != nullptr) *pValue = Value::FromC(out);
    return st;
  }
  std::optional<Value> Get(std::string_view name) {
    Value v;
    if (Get(name, &v) != TESSOR_OK) return std::nullopt;
    return v;
  }
  Status Set(std::string_view name, const Value& value) {
    const tessor_value c = value.ToC();
    const std::string n(name);
    return tessor_set_property(m_p, n.c_str(), &c);
  }

  // Connects a handler for every event; answers its cookie.
  std::optional<int> OnEvent(EventHandler fn) {
    if (!fn) return std::nullopt;
    auto holder = std::make_unique<SHandler>(SHandler{std::move(fn)});
    int cookie = 0;
    if (tessor_connect_events(m_p, &Trampoline, holder.get(), &cookie) != TESSOR_OK) return std::nullopt;
    m_handlers.emplace_back(cookie, std::move(holder));
    return cookie;
  }
  Status RemoveEvent(int cookie) {
    const Status st = tessor_disconnect_events(m_p, cookie);
    if (st != TESSOR_OK) return st;
    for (auto it = m_handlers.begin(); it != m_handlers.end(); ++it) {
      if (it->first == cookie) {
        m_handlers.erase(it);
        break;
      }
    }
    return st;
  }

  // Sends one of the control's window messages as a receive thread does.
  Status SendWindowMessage(unsigned msg, intptr_t lparam) { return tessor_send_window_message(m_p, msg, lparam); }

  tessor_control* Handle() const { return m_p; }

 private:
  explicit Control(tessor_control* p) : m_p(p) {}

  struct SHandler {
    EventHandler fn;
  };

  static void Trampoline(void* user, int dispid, const char* name, const tessor_value* args, size_t nargs) {
    // A copy: the handler may remove itself or destroy the Control.
    EventHandler fn = static_cast<SHandler*>(user)->fn;
    Event e;
    e.nDispId = dispid;
    e.strName = name != nullptr ? name : "";
    e.args.reserve(nargs);
    for (size_t i = 0; i < nargs; ++i) e.args.push_back(Value::FromC(args[i]));
#if defined(__cpp_exceptions)
    try {
      fn(e);
    } catch (...) {
    }
#else
    fn(e);
#endif
  }

  tessor_control* m_p = nullptr;
  std::vector<std::pair<int, std::unique_ptr<SHandler>>> m_handlers;
};

// The host loop of the calling thread.
struct Loop {
  static Status RunFor(int ms) { return tessor_loop_run_for(ms); }
  // Runs until pred() holds or ms pass; answers pred()'s last value.
  static bool RunUntil(const std::function<bool()>& pred, int ms) {
    if (!pred) return tessor_loop_run_until(nullptr, nullptr, ms) != 0;
    return tessor_loop_run_until(&PredTrampoline, const_cast<std::function<bool()>*>(&pred), ms) != 0;
  }
  static int Fd() { return tessor_loop_fd(); }
  static int Dispatch() { return tessor_loop_dispatch(); }
  static int NextDeadlineMs() { return tessor_loop_next_deadline_ms(); }

 private:
  static int PredTrampoline(void* user) {
#if defined(__cpp_exceptions)
    try {
      return (*static_cast<std::function<bool()>*>(user))() ? 1 : 0;
    } catch (...) {
      return 1;  // a failing condition ends the wait
    }
#else
    return (*static_cast<std::function<bool()>*>(user))() ? 1 : 0;
#endif
  }
};

// The process-wide message-box presenter: caption and text in UTF-8, the
// MB_* style bits; answers the button (1 = OK). Called on the thread that
// shows the box, often a receive thread. An empty function restores the
// library's default (standard error, closed with OK at once).
using MessageBoxPresenter = std::function<int(std::string_view caption, std::string_view text, unsigned style)>;

namespace detail {
struct SPresenterSlot {
  std::mutex lock;
  std::shared_ptr<const MessageBoxPresenter> fn;  // guarded by lock; called outside it
};
// Never freed: a receive thread may still be showing a box at exit.
inline SPresenterSlot& PresenterSlot() {
  static SPresenterSlot* slot = new SPresenterSlot;
  return *slot;
}
inline int PresenterTrampoline(void*, const char* caption, const char* text, unsigned style) {
  std::shared_ptr<const MessageBoxPresenter> fn;
  {
    std::lock_guard<std::mutex> guard(PresenterSlot().lock);
    fn = PresenterSlot().fn;
  }
  if (!fn) return 1;
#if defined(__cpp_exceptions)
  try {
    return (*fn)(caption != nullptr ? caption : "", text != nullptr ? text : "", style);
  } catch (...) {
    return 1;
  }
#else
  return (*fn)(caption != nullptr ? caption : "", text != nullptr ? text : "", style);
#endif
}
}  // namespace detail

inline void SetMessageBoxPresenter(MessageBoxPresenter fn) {
  const bool bInstall = static_cast<bool>(fn);
  {
    std::lock_guard<std::mutex> guard(detail::PresenterSlot().lock);
    detail::PresenterSlot().fn = bInstall ? std::make_shared<const MessageBoxPresenter>(std::move(fn)) : nullptr;
  }
  tessor_set_msgbox_presenter(bInstall ? &detail::PresenterTrampoline : nullptr, nullptr);
}

// The interface description: methods, properties, then events.
inline std::vector<tessor_member_info> Members() {
  std::vector<tessor_member_info> out;
  const size_t n = tessor_member_count();
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    tessor_member_info info{};
    if (tessor_member_at(i, &info) == TESSOR_OK) out.push_back(info);
  }
  return out;
}

}  // namespace tessor::api

#endif  // TESSOR_TESSOR_HPP
