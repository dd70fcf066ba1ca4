#include "tools/cli/ScriptHost.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tools/orvsim/OrvSim.h"

namespace tessor::cli {

namespace {

// The six messages through which a receive thread reaches the control.
struct SWindowMessage {
  const char* szName;
  unsigned nValue;
};
constexpr SWindowMessage WINDOW_MESSAGES[] = {
    {"WM_SET_CALLID", 0x465},     {"WM_LOGIN_SUCCESS", 0x466}, {"WM_RECTYPE_CHANGE", 0x467},
    {"WM_AGENT_STATUS_CHANGE", 0x468}, {"WM_DISCONNECTED", 0x469}, {"WM_SET_TELNUMBER", 0x46a},
};

constexpr int DEFAULT_WAIT_MS = 10000;
constexpr int64_t MAX_MS = 86400000;  // a day: any longer is a typing error

std::string FormatValue(const tessor_value& v) {
  switch (v.type) {
    case TESSOR_EMPTY: return "void";
    case TESSOR_TEXT: return v.text != nullptr ? QuoteText(v.text) : "null";
    case TESSOR_BOOL: return v.i != 0 ? "TRUE" : "FALSE";
    case TESSOR_I2:
    case TESSOR_UI2:
    case TESSOR_I4: return std::to_string(v.i);
  }
  return "?";
}

// The integer range a host value of this type may take.
void RangeOf(tessor_type type, int64_t* pMin, int64_t* pMax) {
  switch (type) {
    case TESSOR_UI2: *pMin = 0; *pMax = 65535; return;
    case TESSOR_I4: *pMin = INT32_MIN; *pMax = INT32_MAX; return;
    case TESSOR_BOOL: *pMin = 0; *pMax = 1; return;
    default: *pMin = -32768; *pMax = 32767; return;
  }
}

std::string Plural(size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

bool StartsUpper(const std::string& s) { return !s.empty() && s[0] >= 'A' && s[0] <= 'Z'; }

}  // namespace

CScriptHost::CScriptHost(COutput& output, COrvSim* pSim, bool bInteractive, const char* szTtyPath)
    : m_output(output), m_pSim(pSim), m_bInteractive(bInteractive), m_strTtyPath(szTtyPath ? szTtyPath : "") {
  m_hWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CScriptHost::~CScriptHost() {
  Close();
  tessor_set_msgbox_presenter(nullptr, nullptr);
  if (m_hWake >= 0) ::close(m_hWake);
}

bool CScriptHost::Open(std::string* pError) {
  if (m_hWake < 0) {
    *pError = "cannot create an eventfd";
    return false;
  }
  for (size_t i = 0; i < tessor_member_count(); ++i) {
    tessor_member_info info{};
    if (tessor_member_at(i, &info) != TESSOR_OK || info.name == nullptr) continue;
    if (info.kind == 2) {
      m_mapEvents[info.name] = info.dispid;
      continue;
    }
    SMember m;
    m.nDispId = info.dispid;
    m.nKind = info.kind;
    m.eResult = info.result;
    for (size_t k = 0; k < info.nparams; ++k) {
      m.vecParamNames.emplace_back(info.param_names != nullptr && info.param_names[k] ? info.param_names[k] : "?");
      m.vecParamTypes.push_back(info.param_types != nullptr ? info.param_types[k] : TESSOR_TEXT);
    }
    m_mapMembers[info.name] = std::move(m);
  }
  if (m_mapMembers.empty()) {
    *pError = "the library describes no methods";
    return false;
  }

  tessor_status st = tessor_create(TESSOR_PROGID_CONTROL, &m_pCtl);
  if (st != TESSOR_OK) {
    *pError = std::string("tessor_create: ") + tessor_status_text(st);
    m_pCtl = nullptr;
    return false;
  }
  // The presenter is in place before anything can raise a box.
  tessor_set_msgbox_presenter(&CScriptHost::OnMessageBox, this);
  st = tessor_connect_events(m_pCtl, &CScriptHost::OnEvent, this, &m_nCookie);
  if (st == TESSOR_OK) st = tessor_activate(m_pCtl);
  if (st != TESSOR_OK) {
    *pError = std::string("cannot start the control: ") + tessor_status_text(st);
    tessor_destroy(m_pCtl);
    m_pCtl = nullptr;
    return false;
  }
  return true;
}

void CScriptHost::Close() {
  {
    std::lock_guard<std::mutex> guard(m_boxLock);
    m_bClosed = true;
  }
  DrainBoxes();
  if (m_pCtl != nullptr) {
    tessor_destroy(m_pCtl);
    m_pCtl = nullptr;
  }
}

void CScriptHost::Error(const std::string& reason) { m_output.Line("error: " + reason); }

bool CScriptHost::RunLine(const std::string& line) {
  // The first word alone first: `sim` hands the rest of the line, as it
  // stands, to the simulator, whose commands have their own word rules.
  const SParsedLine head = ParseScriptLine(line, 1);
  if (head.eStatus == EParseStatus::kBlank) return true;
  if (head.eStatus != EParseStatus::kOk) {
    Error(DescribeParseError(head));
    return true;
  }
  if (head.vecTokens[0].IsBare("sim")) {
    Sim(head.strRest);
    return true;
  }

  SParsedLine parsed = ParseScriptLine(line);
  if (parsed.eStatus != EParseStatus::kOk) {
    Error(DescribeParseError(parsed));
    return true;
  }
  const SToken command = parsed.vecTokens[0];
  std::vector<SToken> args(parsed.vecTokens.begin() + 1, parsed.vecTokens.end());
  if (command.bQuoted) {
    Error("unknown command " + QuoteText(command.strText) + " (a command is a bare word)");
    return true;
  }
  const std::string& name = command.strText;

  if (name == "quit") {
    if (!args.empty()) {
      Error("quit takes no arguments, got " + std::to_string(args.size()));
      return true;
    }
    return false;
  }
  if (!Substitute(args)) return true;

  if (name == "get") {
    GetProperty(args);
  } else if (name == "set") {
    SetProperty(args);
  } else if (name == "pump") {
    Pump(args);
  } else if (name == "wait") {
    Wait(args);
  } else if (name == "message") {
    Message(args);
  } else if (auto it = m_mapMembers.find(name); it != m_mapMembers.end()) {
    if (it->second.nKind == 0)
      CallMethod(name, it->second, args);
    else
      Error("'" + name + "' is a property: use get " + name + " or set " + name + " VALUE");
  } else if (m_mapEvents.count(name) != 0) {
    Error("'" + name + "' is an event: use wait " + name + " [MS]");
  } else if (StartsUpper(name)) {
    Error("unknown method '" + name + "'");
  } else {
    Error("unknown command '" + name + "'");
  }
  return true;
}

// $SIMPORT and $CALLID stand for values that a script cannot know when it
// is written. Any other bare word that begins with '$' is a typing error;
// a text that begins with '$' is written in quotes.
bool CScriptHost::Substitute(std::vector<SToken>& tokens) {
  for (SToken& token : tokens) {
    if (token.bQuoted || token.strText.empty() || token.strText[0] != '$') continue;
    if (token.strText == "$SIMPORT") {
      if (m_pSim == nullptr) {
        Error("$SIMPORT: no simulator runs (start tessor-cli with --sim PORT)");
        return false;
      }
      // The connect methods take the port as an I2, and the socket uses its
      // low 16 bits: an ephemeral port above 32767 is passed as port - 65536,
      // as a host with 16-bit integers passes it.
      token.strText = std::to_string(static_cast<int16_t>(m_pSim->Port()));
    } else if (token.strText == "$CALLID") {
      tessor_value v{};
      const tessor_status st = tessor_get_property(m_pCtl, "CallID", &v);
      if (st != TESSOR_OK) {
        Error(std::string("$CALLID: ") + tessor_status_text(st));
        return false;
      }
      token.strText = v.text != nullptr ? v.text : "";
      token.bQuoted = true;  // a text, whatever it holds
    } else {
      Error("unknown variable " + token.strText + " (known: $SIMPORT $CALLID; quote a text that begins with $)");
      return false;
    }
  }
  return true;
}

void CScriptHost::CallMethod(const std::string& name, const SMember& m, const std::vector<SToken>& args) {
  const size_t nparams = m.vecParamTypes.size();
  if (args.size() != nparams) {
    std::string list;
    for (const std::string& p : m.vecParamNames) list += (list.empty() ? "" : " ") + p;
    Error(name + " takes " + Plural(nparams, "argument") + (nparams ? " (" + list + ")" : "") + ", got " +
          std::to_string(args.size()));
    return;
  }
  std::vector<tessor_value> values(nparams);
  for (size_t i = 0; i < nparams; ++i) {
    const SToken& token = args[i];
    const tessor_type type = m.vecParamTypes[i];
    tessor_value& v = values[i];
    v.type = type;
    if (type == TESSOR_TEXT) {
      v.text = token.bNull ? nullptr : token.strText.c_str();
      continue;
    }
    int64_t lo = 0, hi = 0, n = 0;
    RangeOf(type, &lo, &hi);
    const std::string where = name + " argument " + std::to_string(i + 1) + " (" + m.vecParamNames[i] + "): ";
    const EIntStatus st = token.bNull ? EIntStatus::kNotANumber : ParseInteger(token.strText, lo, hi, false, &n);
    if (st == EIntStatus::kNotANumber) {
      Error(where + QuoteText(token.strText) + " is not a decimal integer");
      return;
    }
    if (st == EIntStatus::kOutOfRange) {
      Error(where + token.strText + " is outside " + std::to_string(lo) + ".." + std::to_string(hi));
      return;
    }
    v.i = static_cast<int32_t>(n);
  }
  tessor_value result{};
  const tessor_status st = tessor_invoke(m_pCtl, name.c_str(), values.data(), values.size(), &result);
  if (st != TESSOR_OK) {
    Error(name + ": " + tessor_status_text(st));
    return;
  }
  m_output.Line(name + " -> " + FormatValue(result));
}

void CScriptHost::GetProperty(const std::vector<SToken>& args) {
  if (args.size() != 1) {
    Error("get takes 1 argument (PROPERTY), got " + std::to_string(args.size()));
    return;
  }
  const std::string& name = args[0].strText;
  auto it = m_mapMembers.find(name);
  if (args[0].bQuoted || it == m_mapMembers.end() || it->second.nKind != 1) {
    Error("unknown property " + QuoteText(name));
    return;
  }
  tessor_value v{};
  const tessor_status st = tessor_get_property(m_pCtl, name.c_str(), &v);
  if (st != TESSOR_OK) {
    Error("get " + name + ": " + tessor_status_text(st));
    return;
  }
  m_output.Line(name + " = " + FormatValue(v));
}

void CScriptHost::SetProperty(const std::vector<SToken>& args) {
  if (args.size() != 2) {
    Error("set takes 2 arguments (PROPERTY VALUE), got " + std::to_string(args.size()));
    return;
  }
  const std::string& name = args[0].strText;
  auto it = m_mapMembers.find(name);
  if (args[0].bQuoted || it == m_mapMembers.end() || it->second.nKind != 1) {
    Error("unknown property " + QuoteText(name));
    return;
  }
  const SToken& token = args[1];
  tessor_value v{};
  v.type = it->second.eResult;
  if (v.type == TESSOR_TEXT) {
    v.text = token.bNull ? nullptr : token.strText.c_str();
  } else {
    int64_t lo = 0, hi = 0, n = 0;
    RangeOf(v.type, &lo, &hi);
    const EIntStatus st = token.bNull ? EIntStatus::kNotANumber : ParseInteger(token.strText, lo, hi, false, &n);
    if (st != EIntStatus::kOk) {
      Error("set " + name + ": " + (st == EIntStatus::kNotANumber ? QuoteText(token.strText) : token.strText) +
            (st == EIntStatus::kNotANumber ? " is not a decimal integer" : " is outside " + std::to_string(lo) +
                                                                              ".." + std::to_string(hi)));
      return;
    }
    v.i = static_cast<int32_t>(n);
  }
  tessor_status st = tessor_set_property(m_pCtl, name.c_str(), &v);
  if (st != TESSOR_OK) {
    Error("set " + name + ": " + tessor_status_text(st));
    return;
  }
  // Print what the control now holds, read back through the same API.
  tessor_value now{};
  st = tessor_get_property(m_pCtl, name.c_str(), &now);
  if (st != TESSOR_OK) {
    Error("get " + name + ": " + tessor_status_text(st));
    return;
  }
  m_output.Line(name + " = " + FormatValue(now));
}

bool CScriptHost::ReadMs(const std::string& command, const SToken& token, int* pMs) {
  int64_t n = 0;
  if (token.bNull || ParseInteger(token.strText, 0, MAX_MS, false, &n) != EIntStatus::kOk) {
    Error(command + ": " + QuoteText(token.strText) + " is not a number of milliseconds (0.." +
          std::to_string(MAX_MS) + ")");
    return false;
  }
  *pMs = static_cast<int>(n);
  return true;
}

void CScriptHost::Pump(const std::vector<SToken>& args) {
  if (args.size() != 1) {
    Error("pump takes 1 argument (MS), got " + std::to_string(args.size()));
    return;
  }
  int ms = 0;
  if (!ReadMs("pump", args[0], &ms)) return;
  RunLoopUntil([] { return false; }, ms);
}

void CScriptHost::Wait(const std::vector<SToken>& args) {
  if (args.empty() || args.size() > 2) {
    Error("wait takes 1 or 2 arguments (EVENT [MS]), got " + std::to_string(args.size()));
    return;
  }
  const std::string& name = args[0].strText;
  const bool bBox = args[0].IsBare("msgbox");
  if (!bBox && (args[0].bQuoted || m_mapEvents.count(name) == 0)) {
    Error("unknown event " + QuoteText(name));
    return;
  }
  int ms = DEFAULT_WAIT_MS;
  if (args.size() == 2 && !ReadMs("wait", args[1], &ms)) return;

  bool bHit = false;
  if (bBox) {
    // Counts boxes printed from now on; one queued earlier is printed by
    // this wait's first turn of the loop and counts as well.
    const unsigned start = m_nBoxesShown.load();
    bHit = RunLoopUntil([&] { return m_nBoxesShown.load() != start; }, ms);
  } else {
    // Only a firing during this wait counts, not one seen before.
    m_strWaitEvent = name;
    m_bWaitHit = false;
    bHit = RunLoopUntil([&] { return m_bWaitHit; }, ms);
    m_strWaitEvent.clear();
  }
  if (!bHit) m_output.Line("timeout " + name);
}

void CScriptHost::Message(const std::vector<SToken>& args) {
  if (args.size() != 2) {
    Error("message takes 2 arguments (NAME LPARAM), got " + std::to_string(args.size()));
    return;
  }
  int64_t msg = -1;
  for (const SWindowMessage& wm : WINDOW_MESSAGES)
    if (args[0].strText == wm.szName) msg = wm.nValue;
  if (msg < 0 && ParseInteger(args[0].strText, 0, UINT32_MAX, true, &msg) != EIntStatus::kOk) {
    Error("message: unknown window message " + QuoteText(args[0].strText) +
          " (WM_SET_CALLID ... WM_SET_TELNUMBER or a number)");
    return;
  }
  int64_t lparam = 0;
  if (args[1].bNull || ParseInteger(args[1].strText, INT32_MIN, UINT32_MAX, true, &lparam) != EIntStatus::kOk) {
    Error("message: LPARAM " + QuoteText(args[1].strText) + " is not an integer from " +
          std::to_string(INT32_MIN) + " to " + std::to_string(UINT32_MAX));
    return;
  }

  // Sent from a thread of its own, as a receive thread sends it; the host
  // thread pumps meanwhile, or the send could never be handled.
  std::atomic<bool> bDone{false};
  tessor_status st = TESSOR_OK;
  tessor_control* ctl = m_pCtl;
  std::thread sender([&, ctl] {
    st = tessor_send_window_message(ctl, static_cast<unsigned>(msg), static_cast<intptr_t>(lparam));
    bDone.store(true);
    Signal();
  });
  RunLoopUntil([&] { return bDone.load(); }, -1);
  sender.join();
  if (st != TESSOR_OK) Error(std::string("message: ") + tessor_status_text(st));
}

void CScriptHost::Sim(const std::string& rest) {
  if (m_pSim == nullptr) {
    Error("sim: no simulator runs (start tessor-cli with --sim PORT)");
    return;
  }
  const SParsedLine words = ParseScriptLine(rest, 1);
  if (words.eStatus != EParseStatus::kOk) {
    Error("sim: a simulator command is missing (try sim help)");
    return;
  }
  // The simulator's own sleep would hold the host thread without running
  // the loop: no event, timer or box would be handled meanwhile.
  if (words.vecTokens[0].IsBare("sleep")) {
    Error("sim sleep would stop the host loop: use pump MS");
    return;
  }
  const std::string answer = m_pSim->Command(rest);
  size_t start = 0;
  for (;;) {
    const size_t end = answer.find('\n', start);
    m_output.Line("sim: " + answer.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

void CScriptHost::PumpUntilReadable(int fd) { RunLoopUntil([] { return false; }, -1, fd); }

bool CScriptHost::RunLoopUntil(const std::function<bool()>& pred, int ms, int fd) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  const int hLoop = tessor_loop_fd();
  for (;;) {
    tessor_loop_dispatch();
    // A wait that is over leaves queued boxes to the next command: the box
    // that follows an event (the forced log-out warning after its
    // Disconnected) is then printed by the `wait msgbox` that expects it.
    if (pred()) return true;
    DrainBoxes();
    if (pred()) return true;
    int wait = -1;
    if (ms >= 0) {
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return false;
      wait = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now + std::chrono::microseconds(999))
              .count());
    }
    const int next = tessor_loop_next_deadline_ms();
    if (next >= 0 && (wait < 0 || next < wait)) wait = next;

    pollfd fds[3];
    nfds_t n = 0;
    if (hLoop >= 0) fds[n++] = pollfd{hLoop, POLLIN, 0};
    fds[n++] = pollfd{m_hWake, POLLIN, 0};
    const nfds_t nInput = n;
    if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
    const int rc = ::poll(fds, n, wait);
    if (rc < 0 && errno != EINTR) return pred();
    uint64_t value = 0;
    if (::read(m_hWake, &value, sizeof(value)) < 0) {
      // EAGAIN: nothing was signalled.
    }
    if (fd >= 0 && rc > 0 && fds[nInput].revents != 0) {
      tessor_loop_dispatch();
      if (!pred()) DrainBoxes();
      return pred();
    }
  }
}

void CScriptHost::DrainBoxes() {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> guard(m_boxLock);
    lines.swap(m_vecBoxes);
  }
  if (lines.empty()) return;
  for (const std::string& line : lines) {
    m_output.Line(line);
    m_nBoxesShown.fetch_add(1);
  }
  {
    std::lock_guard<std::mutex> guard(m_boxLock);
    m_nBoxesPrinted += lines.size();
  }
  m_cvPrinted.notify_all();
}

void CScriptHost::Signal() {
  const uint64_t one = 1;
  if (::write(m_hWake, &one, sizeof(one)) < 0) {
    // The counter is saturated: the host thread is woken anyway.
  }
}

void CScriptHost::WaitForEnter() {
  if (m_strTtyPath.empty()) return;
  const int fd = ::open(m_strTtyPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::fputs("(press Enter to close the box)\n", stderr);
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
  }
  ::close(fd);
}

void CScriptHost::OnEvent(void* user, int /*dispid*/, const char* name, const tessor_value* args, size_t nargs) {
  auto* self = static_cast<CScriptHost*>(user);
  std::string line = "event ";
  line += name != nullptr ? name : "?";
  for (size_t i = 0; i < nargs; ++i) line += " " + FormatValue(args[i]);
  self->m_output.Line(line);
  if (name != nullptr && !self->m_strWaitEvent.empty() && self->m_strWaitEvent == name) self->m_bWaitHit = true;
}

int CScriptHost::OnMessageBox(void* user, const char* caption, const char* text, unsigned style) {
  auto* self = static_cast<CScriptHost*>(user);
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08X", style);
  const std::string line =
      "msgbox " + QuoteText(caption != nullptr ? caption : "") + " " + hex + " " + QuoteText(text != nullptr ? text : "");
  {
    std::unique_lock<std::mutex> lock(self->m_boxLock);
    if (!self->m_bClosed) {
      self->m_vecBoxes.push_back(line);
      const uint64_t ticket = ++self->m_nBoxesQueued;
      self->Signal();
      if (!self->m_bInteractive) return 1;  // closed at once with OK; the host thread prints it
      // The agent is asked for Enter only once the box is on the screen.
      self->m_cvPrinted.wait(lock, [&] { return self->m_nBoxesPrinted >= ticket; });
      lock.unlock();
      self->WaitForEnter();
      return 1;
    }
  }
  // The control is going away: nobody pumps any more.
  self->m_output.Line(line);
  self->m_nBoxesShown.fetch_add(1);
  if (self->m_bInteractive) self->WaitForEnter();
  return 1;
}

}  // namespace tessor::cli
