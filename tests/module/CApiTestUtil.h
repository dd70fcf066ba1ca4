// Helpers of the C API tests: building values, recording events, running
// the host loop until a condition holds.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tessor/tessor.h"

namespace tessor::moduletest {

inline tessor_value Text(const char* s) { return tessor_value{TESSOR_TEXT, 0, s}; }
inline tessor_value Num(tessor_type t, int32_t n) { return tessor_value{t, n, nullptr}; }
inline tessor_value I2(int32_t n) { return Num(TESSOR_I2, n); }
// A value whose type field holds a number that is no tessor_type, as a C
// host may store it (written as bytes: C++ may not form such an enum).
inline tessor_value NotAType(unsigned n) {
  tessor_value v{TESSOR_EMPTY, 1, nullptr};
  static_assert(sizeof(n) == sizeof(v.type));
  std::memcpy(&v.type, &n, sizeof(n));
  return v;
}
// A port as the I2 the interface takes: its low 16 bits, signed.
inline tessor_value PortArg(uint16_t port) { return I2(static_cast<int16_t>(port)); }

struct SArg {
  tessor_type type = TESSOR_EMPTY;
  int32_t i = 0;
  std::string text;
  bool bNull = false;
};

struct SEvent {
  int dispid = 0;
  std::string name;
  std::vector<SArg> args;
};

// Records every event of the controls it is connected to. Host thread.
class CRecorder {
 public:
  static void Sink(void* user, int dispid, const char* name, const tessor_value* args, size_t nargs) {
    auto* self = static_cast<CRecorder*>(user);
    SEvent e;
    e.dispid = dispid;
    e.name = name != nullptr ? name : "(null)";
    for (size_t i = 0; i < nargs; ++i) {
      SArg a;
      a.type = args[i].type;
      a.i = args[i].i;
      a.bNull = args[i].text == nullptr;
      if (args[i].text != nullptr) a.text = args[i].text;
      e.args.push_back(a);
    }
    self->m_events.push_back(e);
    if (self->m_onEvent) self->m_onEvent(self->m_events.back());
  }

  const std::vector<SEvent>& Events() const { return m_events; }
  int Count(const std::string& name) const {
    int n = 0;
    for (const auto& e : m_events)
      if (e.name == name) ++n;
    return n;
  }
  const SEvent* Last(const std::string& name) const {
    for (auto it = m_events.rbegin(); it != m_events.rend(); ++it)
      if (it->name == name) return &*it;
    return nullptr;
  }
  void Clear() { m_events.clear(); }
  // Runs after each recorded event (inside the sink).
  void OnEvent(std::function<void(const SEvent&)> fn) { m_onEvent = std::move(fn); }

 private:
  std::vector<SEvent> m_events;
  std::function<void(const SEvent&)> m_onEvent;
};

// Runs this thread's host loop until pred holds or ms pass.
inline bool RunUntil(const std::function<bool()>& pred, int ms) {
  auto call = [](void* user) -> int { return (*static_cast<const std::function<bool()>*>(user))() ? 1 : 0; };
  return tessor_loop_run_until(call, const_cast<std::function<bool()>*>(&pred), ms) != 0;
}

// Generous: a deadline only bounds a failure.
constexpr int WAIT_MS = 10000;

}  // namespace tessor::moduletest
