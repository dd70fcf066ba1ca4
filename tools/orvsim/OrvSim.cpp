#include "tools/orvsim/OrvSim.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>

#include "link/Protocol.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace tessor {

namespace {

constexpr size_t MAX_PENDING_SEND = 4u << 20;  // a client that reads nothing for this long is dropped
constexpr size_t RECV_CHUNK = 64u << 10;
constexpr int RECV_ROUNDS = 16;       // fairness: at most 1 MiB per link per wait round
constexpr int ACCEPT_PAUSE_MS = 100;  // after EMFILE and the like

// epoll_data keys: the wake-up eventfd, the listener, then link id + KEY_LINK,
// so that sorting a batch by key handles it in the old order (wake-up,
// listener, links by id).
constexpr uint64_t KEY_WAKE = 0;
constexpr uint64_t KEY_LISTEN = 1;
constexpr uint64_t KEY_LINK = 2;

// Set while this thread hands lines to the output function, so that a
// command issued from inside it does not try to flush again.
thread_local bool t_bInOutput = false;

const char* CodeName(uint16_t code) {
  switch (code) {
    case C_LOGIN: return "C_LOGIN";
    case C_LOGIN_RESULT: return "C_LOGIN_RESULT";
    case C_LOGOUT: return "C_LOGOUT";
    case C_LOGOUT_RESULT: return "C_LOGOUT_RESULT";
    case C_BASIC_INFO: return "C_BASIC_INFO";
    case C_EXTEND_INFO: return "C_EXTEND_INFO";
    case C_POST_INFO: return "C_POST_INFO";
    case C_MARK_INFO: return "C_MARK_INFO";
    case C_GET_RECORD_CALLID: return "C_GET_RECORD_CALLID";
    case C_GET_RECORD_CALLID_RESPONSE: return "C_GET_RECORD_CALLID_RESPONSE";
    case C_KEEP_ALIVE: return "C_KEEP_ALIVE";
    case C_SET_SELECTION_RECORD: return "C_SET_SELECTION_RECORD";
    case C_RECORD_TYPE_CHANGED: return "C_RECORD_TYPE_CHANGED";
    case C_AGENT_STATUS_CHANGED: return "C_AGENT_STATUS_CHANGED";
    case C_START_SELECT_RECORD: return "C_START_SELECT_RECORD";
    case C_STOP_SELECT_RECORD: return "C_STOP_SELECT_RECORD";
    case C_LOGOUT_ALARM: return "C_LOGOUT_ALARM";
    default: return "UNKNOWN";
  }
}

// Total size of a packet the client may send; 0 for codes it never sends.
size_t ClientPacketSize(uint16_t code) {
  switch (code) {
    case C_LOGIN: return SIZE_LOGIN;
    case C_LOGOUT: return SIZE_LOGOUT;
    case C_BASIC_INFO: return SIZE_BASIC_INFO;
    case C_EXTEND_INFO: return SIZE_EXTEND_INFO;
    case C_POST_INFO: return SIZE_POST_INFO;
    case C_MARK_INFO: return SIZE_MARK_INFO;
    case C_GET_RECORD_CALLID: return SIZE_GET_RECORD_CALLID;
    case C_KEEP_ALIVE: return SIZE_KEEP_ALIVE;
    case C_SET_SELECTION_RECORD:
    case C_START_SELECT_RECORD:
    case C_STOP_SELECT_RECORD: return SIZE_SELECTION;
    default: return 0;
  }
}

enum class EField { kText, kSecret, kU16, kI16, kU8 };
struct SField {
  const char* pName;
  size_t nOffset;
  size_t nWidth;  // texts only
  EField eKind;
};

// The fields printed for each code, in both directions.
std::vector<SField> FieldsOf(uint16_t code) {
  using namespace layout;
  const std::vector<SField> head = {{"AID", INFO_AID, W_AID, EField::kText},
                                    {"Tenant", INFO_TENANT, W_TENANT, EField::kText},
                                    {"CallID", INFO_CALLID, W_CALLID, EField::kText},
                                    {"ExtNo", INFO_EXTNO, W_EXTNO, EField::kText}};
  std::vector<SField> f;
  switch (code) {
    case C_LOGIN:
      return {{"ExtNo", LOGIN_EXTNO, W_EXTNO, EField::kText},
              {"Tenant", LOGIN_TENANT, W_TENANT, EField::kText},
              {"AID", LOGIN_AID, W_AID, EField::kText},
              {"PWD", LOGIN_PWD, W_PWD, EField::kSecret}};
    case C_LOGOUT:
      return {{"ExtNo", LOGOUT_EXTNO, W_EXTNO, EField::kText},
              {"Tenant", LOGOUT_TENANT, W_TENANT, EField::kText},
              {"AID", LOGOUT_AID, W_AID, EField::kText}};
    case C_GET_RECORD_CALLID:
      return {{"AID", GETCALLID_AID, W_AID, EField::kText},
              {"Tenant", GETCALLID_TENANT, W_TENANT, EField::kText},
              {"ExtNo", GETCALLID_EXTNO, W_EXTNO, EField::kText}};
    case C_MARK_INFO:
      f = head;
      f.push_back({"Time", MARK_TIME, W_TIME, EField::kText});
      return f;
    case C_BASIC_INFO:
      f = head;
      f.push_back({"ANI", BASIC_ANI, W_ANI, EField::kText});
      f.push_back({"DNIS", BASIC_DNIS, W_DNIS, EField::kText});
      f.push_back({"Type", BASIC_TYPE, 0, EField::kI16});
      return f;
    case C_POST_INFO:
      f = head;
      f.push_back({"Start", POST_START, W_TIME, EField::kText});
      f.push_back({"Desc", POST_DESC, W_DESC, EField::kText});
      return f;
    case C_EXTEND_INFO:
      f = head;
      f.push_back({"CID", EXTEND_CID, W_CID, EField::kText});
      f.push_back({"CTel", EXTEND_CTEL, W_CTEL, EField::kText});
      f.push_back({"Name", EXTEND_NAME, W_NAME, EField::kText});
      f.push_back({"Info1", EXTEND_INFO1, W_INFO12, EField::kText});
      f.push_back({"Info2", EXTEND_INFO2, W_INFO12, EField::kText});
      f.push_back({"Info3", EXTEND_INFO3, W_INFO345, EField::kText});
      f.push_back({"Info4", EXTEND_INFO4, W_INFO345, EField::kText});
      f.push_back({"Info5", EXTEND_INFO5, W_INFO345, EField::kText});
      return f;
    case C_SET_SELECTION_RECORD:
    case C_START_SELECT_RECORD:
    case C_STOP_SELECT_RECORD:
      f = head;
      f.push_back({"Flag", SELECTION_FLAG, 0, EField::kU8});
      return f;
    case C_LOGIN_RESULT:
      return {{"Result", LOGIN_RESULT_CODE, 0, EField::kU16}, {"RecordType", LOGIN_RESULT_RECTYPE, 0, EField::kU16}};
    case C_LOGOUT_RESULT:
      return {{"Flag", LOGOUT_RESULT_FLAG, 0, EField::kU8}};
    case C_GET_RECORD_CALLID_RESPONSE:
      return {{"CallID", CALLID_RESPONSE_CALLID, W_CALLID, EField::kText}};
    case C_RECORD_TYPE_CHANGED:
      return {{"RecordType", CHANGED_VALUE, 0, EField::kU16}};
    case C_AGENT_STATUS_CHANGED:
      return {{"AgentStatus", CHANGED_VALUE, 0, EField::kU16}};
    case C_LOGOUT_ALARM:
      return {{"Agent", LOGOUT_ALARM_AGENT, W_ALARM_AGENT, EField::kText}};
    default:
      return {};
  }
}

std::string EscapeJson(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char esc[8];
          ::snprintf(esc, sizeof(esc), "\\u%04X", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// Builds one JSON object, keys in the order added.
class CJsonLine {
 public:
  CJsonLine& Str(const char* key, const std::string& utf8) {
    Key(key);
    m_str += '"';
    m_str += EscapeJson(utf8);
    m_str += '"';
    return *this;
  }
  CJsonLine& Text(const char* key, const std::string& cp949) { return Str(key, platform::Cp949ToUtf8(cp949)); }
  CJsonLine& Int(const char* key, long long v) {
    Key(key);
    m_str += std::to_string(v);
    return *this;
  }
  CJsonLine& Bool(const char* key, bool v) {
    Key(key);
    m_str += v ? "true" : "false";
    return *this;
  }
  std::string Done() { return m_str + "}"; }

 private:
  void Key(const char* key) {
    m_str += m_str.size() > 1 ? ",\"" : "\"";
    m_str += key;
    m_str += "\":";
  }
  std::string m_str = "{";
};

void AddFields(CJsonLine& json, uint16_t code, const uint8_t* packet, size_t len) {
  for (const SField& f : FieldsOf(code)) {
    const size_t need = f.eKind == EField::kU8 ? 1 : f.eKind == EField::kU16 || f.eKind == EField::kI16 ? 2 : f.nWidth;
    if (f.nOffset + need > len) continue;
    const uint8_t* p = packet + f.nOffset;
    switch (f.eKind) {
      case EField::kSecret: json.Str(f.pName, "****"); break;  // never print a password
      case EField::kText: {
        std::string text(f.nWidth + 1, '\0');
        text.resize(GetText(p, f.nWidth, text.data()));
        json.Text(f.pName, text);
        break;
      }
      case EField::kU16: json.Int(f.pName, GetU16(p)); break;
      case EField::kI16: json.Int(f.pName, static_cast<int16_t>(GetU16(p))); break;
      case EField::kU8: json.Int(f.pName, p[0]); break;
    }
  }
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != ':') digits += c;
  if (digits.empty() || digits.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    char pair[3] = {digits[i], digits[i + 1], 0};
    char* end = nullptr;
    long v = ::strtol(pair, &end, 16);
    if (end != pair + 2) return false;
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

bool ParseNumber(const std::string& text, long lo, long hi, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = ::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

// The words from index `from` on, joined by single spaces.
std::string JoinFrom(const std::vector<std::string>& words, size_t from) {
  std::string s;
  for (size_t i = from; i < words.size(); ++i) {
    if (i > from) s += ' ';
    s += words[i];
  }
  return s;
}

const char* ReasonText(int reason) {
  static const char* const names[] = {"peer", "error", "drop", "reset", "overflow", "stop"};
  return names[reason];
}

std::string LinkCountText(size_t n) { return std::to_string(n) + (n == 1 ? " link" : " links"); }

}  // namespace

struct COrvSim::SLink {
  int nId = 0;
  int hSocket = -1;
  std::string strPeer;
  uint16_t nPeerPort = 0;
  bool bStalled = false;
  bool bLoggedIn = false;
  std::string strAID;  // CP949, as logged in
  std::string strExtNo;
  std::string strTenant;
  std::vector<uint8_t> vecRx;  // bytes of packets not yet complete
  size_t nRxStart = 0;
  size_t nDiscard = 0;         // body bytes of an oversized packet still to skip
  std::vector<uint8_t> vecTx;  // bytes the socket did not take yet
  size_t nTxStart = 0;
  uint32_t nEvents = 0;        // what the epoll set watches for this socket
  std::optional<ECloseReason> eDoom;  // closed at the end of the current step
};

std::string COrvSim::JsonEscape(const std::string& utf8) { return EscapeJson(utf8); }

COrvSim::COrvSim() : m_vecAccounts(DefaultAccounts()) {}

COrvSim::~COrvSim() { Stop(); }

std::vector<SOrvAccount> COrvSim::DefaultAccounts() {
  std::vector<SOrvAccount> v;
  v.push_back({"A100", "1234", "T1", {"2001"}, 2});
  v.push_back({"A200", "5678", "T1", {"2002"}, 1});
  SOrvAccount busy{"BUSY", "", "T1", {}, 0};
  busy.nForcedResult = 5;
  v.push_back(busy);
  SOrvAccount fail{"FAIL", "", "T1", {}, 0};
  fail.nForcedResult = 4;
  v.push_back(fail);
  return v;
}

bool COrvSim::Start(uint16_t port, const char* bind_addr) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bRunning || m_thread.joinable()) return false;
    m_strBindAddr = bind_addr != nullptr ? bind_addr : "127.0.0.1";
    m_nPort = port;
    m_hEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_hWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = KEY_WAKE;
    if (m_hEpoll < 0 || m_hWake < 0 || ::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, m_hWake, &ev) != 0) {
      if (m_hWake >= 0) ::close(m_hWake);
      if (m_hEpoll >= 0) ::close(m_hEpoll);
      m_hWake = -1;
      m_hEpoll = -1;
      m_nPort = 0;
      return false;
    }
    if (!OpenListener()) {
      ::close(m_hWake);
      ::close(m_hEpoll);
      m_hWake = -1;
      m_hEpoll = -1;
      m_nPort = 0;
      return false;
    }
    m_bRunning = true;
    m_bStopping = false;
    m_thread = std::thread(&COrvSim::WorkerMain, this);
  }
  FlushOutput();
  return true;
}

void COrvSim::Stop() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_thread.joinable()) return;
    m_bStopping = true;
    Wake();
  }
  m_thread.join();
  {
    std::lock_guard<std::mutex> guard(m_lock);
    ::close(m_hWake);
    m_hWake = -1;
    ::close(m_hEpoll);
    m_hEpoll = -1;
    m_bStopping = false;
  }
  FlushOutput();
}

uint16_t COrvSim::Port() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nPort;
}

void COrvSim::SetOutput(std::function<void(const std::string&)> output) {
  std::lock_guard<std::mutex> guard(m_outputLock);
  m_fnOutput = std::move(output);
}

void COrvSim::SetAccounts(std::vector<SOrvAccount> accounts) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_vecAccounts = std::move(accounts);
}

bool COrvSim::LoadAccounts(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error != nullptr) *error = "cannot open " + path;
    return false;
  }
  auto fail = [&](int lineNo, const std::string& why) {
    if (error != nullptr) *error = path + ":" + std::to_string(lineNo) + ": " + why;
    return false;
  };
  // "-" stands for an empty text; the file is UTF-8, the table CP949.
  auto text = [](const std::string& word) { return word == "-" ? std::string() : platform::Utf8ToCp949(word); };
  std::vector<SOrvAccount> accounts;
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    std::vector<std::string> w = SplitWords(line);
    if (w.empty() || w[0][0] == '#') continue;
    if (w.size() < 5) return fail(lineNo, "expected AID PWD TENANT EXTENSIONS RECTYPE [result=N] [logout=N]");
    SOrvAccount a;
    a.strAID = text(w[0]);
    a.strPWD = text(w[1]);
    a.strTenant = text(w[2]);
    if (w[3] != "*") {
      std::istringstream exts(w[3]);
      std::string ext;
      while (std::getline(exts, ext, ','))
        if (!ext.empty()) a.vecExtensions.push_back(text(ext));
      if (a.vecExtensions.empty()) return fail(lineNo, "no extension in '" + w[3] + "'");
    }
    long v = 0;
    if (!ParseNumber(w[4], 0, 65535, &v)) return fail(lineNo, "record type is not 0..65535: " + w[4]);
    a.nRecordType = static_cast<uint16_t>(v);
    for (size_t i = 5; i < w.size(); ++i) {
      if (w[i].rfind("result=", 0) == 0 && ParseNumber(w[i].substr(7), 0, 65535, &v)) {
        a.nForcedResult = static_cast<int>(v);
      } else if (w[i].rfind("logout=", 0) == 0 && ParseNumber(w[i].substr(7), 0, 255, &v)) {
        a.nLogoutFlag = static_cast<int>(v);
      } else {
        return fail(lineNo, "unknown option " + w[i]);
      }
    }
    for (const SOrvAccount& other : accounts)
      if (other.strAID == a.strAID) return fail(lineNo, "duplicate AID " + w[0]);
    accounts.push_back(std::move(a));
  }
  SetAccounts(std::move(accounts));
  return true;
}

// Runs on the worker thread, holding m_lock except while it waits or emits.
void COrvSim::WorkerMain() {
  std::vector<epoll_event> events(64);
  std::unique_lock<std::mutex> lk(m_lock);
  m_workerId = std::this_thread::get_id();
  while (!m_bStopping) {
    int timeout = -1;
    if (m_hListen >= 0) {
      const uint64_t now = platform::MonotonicMs();
      if (now >= m_nAcceptPausedUntilMs) {
        ArmListener(true);
      } else {
        ArmListener(false);
        timeout = static_cast<int>(m_nAcceptPausedUntilMs - now);
      }
    }
    // Room for every descriptor, so one wait sees all that are ready.
    if (events.size() < m_mapLinks.size() + 2) events.resize(m_mapLinks.size() + 2);

    lk.unlock();
    int rc = ::epoll_wait(m_hEpoll, events.data(), static_cast<int>(events.size()), timeout);
    const int waitErr = errno;
    lk.lock();
    if (m_bStopping) break;
    if (rc < 0 && waitErr != EINTR) {
      // Not expected; do not spin on it.
      lk.unlock();
      platform::SleepMs(10);
      lk.lock();
      continue;
    }

    if (rc > 1)
      std::sort(events.begin(), events.begin() + rc,
                [](const epoll_event& x, const epoll_event& y) { return x.data.u64 < y.data.u64; });
    for (int i = 0; i < rc; ++i) {
      const uint32_t re = events[i].events;
      const uint64_t key = events[i].data.u64;
      if (re == 0) continue;
      if (key == KEY_WAKE) {
        uint64_t count;
        while (::read(m_hWake, &count, sizeof(count)) > 0) {
        }
      } else if (key == KEY_LISTEN) {
        // The listener may have been closed and reopened since the wait.
        if (m_hListen >= 0) AcceptAll();
      } else {
        auto it = m_mapLinks.find(static_cast<int>(key - KEY_LINK));
        if (it == m_mapLinks.end()) continue;
        SLink& link = *it->second;
        if ((re & EPOLLOUT) && !link.eDoom) FlushLink(link);
        if (link.eDoom) continue;
        if (!link.bStalled && (re & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
          ReadLink(link);  // a close or error shows in recv
        } else if (re & (EPOLLERR | EPOLLHUP)) {
          Doom(link, ECloseReason::kError);
        }
      }
    }
    CloseDoomed();

    std::deque<std::shared_ptr<SRequest>> requests;
    requests.swap(m_queRequests);
    for (auto& req : requests) {
      req->strResult = Execute(SplitWords(req->strLine));
      CloseDoomed();
    }

    lk.unlock();
    FlushOutput();  // a command's lines are out before its answer
    lk.lock();
    if (!requests.empty()) {
      for (auto& req : requests) req->bDone = true;
      m_cvDone.notify_all();
    }
  }

  // Stopping: everything goes, and callers still waiting are answered.
  std::vector<int> all;
  for (const auto& entry : m_mapLinks) all.push_back(entry.first);
  for (int id : all) CloseLink(id, ECloseReason::kStop);
  CloseListener();
  for (auto& req : m_queRequests) {
    req->strResult = "error: the simulator is stopping";
    req->bDone = true;
  }
  m_queRequests.clear();
  m_cvDone.notify_all();
  m_bRunning = false;
  m_workerId = std::thread::id();
  lk.unlock();
  FlushOutput();
}

bool COrvSim::OpenListener() {
  int fd = platform::SocketListen(m_strBindAddr.c_str(), m_nPort, SOMAXCONN);
  if (fd < 0) return false;
  if (!platform::SocketSetNonBlocking(fd)) {
    ::close(fd);
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = KEY_LISTEN;
  if (::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  m_bListenArmed = true;
  m_hListen = fd;
  m_nPort = platform::SocketLocalPort(fd);
  m_nAcceptPausedUntilMs = 0;
  Emit(CJsonLine().Str("event", "listening").Str("addr", m_strBindAddr).Int("port", m_nPort).Done());
  return true;
}

void COrvSim::CloseListener() {
  if (m_hListen < 0) return;
  ::epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, m_hListen, nullptr);
  ::close(m_hListen);
  m_hListen = -1;
  m_bListenArmed = false;
  Emit(CJsonLine().Str("event", "stopped-listening").Str("addr", m_strBindAddr).Int("port", m_nPort).Done());
}

// While accepting is paused the listener stays in the set with no events, so
// a full backlog does not wake the worker over and over.
void COrvSim::ArmListener(bool armed) {
  if (m_hListen < 0 || armed == m_bListenArmed) return;
  epoll_event ev{};
  ev.events = armed ? static_cast<uint32_t>(EPOLLIN) : 0u;
  ev.data.u64 = KEY_LISTEN;
  if (::epoll_ctl(m_hEpoll, EPOLL_CTL_MOD, m_hListen, &ev) == 0) m_bListenArmed = armed;
}

// Watches for input unless the link is stalled, and for room to send only
// while bytes wait in vecTx. Errors and hang-ups are always reported.
void COrvSim::UpdateInterest(SLink& link) {
  if (link.hSocket < 0 || m_hEpoll < 0) return;
  uint32_t want = link.bStalled ? 0u : static_cast<uint32_t>(EPOLLIN);
  if (link.vecTx.size() > link.nTxStart) want |= EPOLLOUT;
  if (want == link.nEvents) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = static_cast<uint64_t>(link.nId) + KEY_LINK;
  if (::epoll_ctl(m_hEpoll, EPOLL_CTL_MOD, link.hSocket, &ev) == 0) {
    link.nEvents = want;
  } else if (!link.eDoom) {
    Doom(link, ECloseReason::kError);
  }
}

void COrvSim::AcceptAll() {
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    int fd = ::accept4(m_hListen, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        m_nAcceptPausedUntilMs = platform::MonotonicMs() + ACCEPT_PAUSE_MS;
      return;  // EAGAIN: the queue is empty
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    auto link = std::make_unique<SLink>();
    link->nId = m_nNextLinkId++;
    link->hSocket = fd;
    link->strPeer = platform::SocketPeerAddress(fd);
    link->nPeerPort = ntohs(sa.sin_port);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(link->nId) + KEY_LINK;
    if (::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
      // Out of memory for the set: refuse this one like an accept failure.
      ::close(fd);
      --m_nNextLinkId;
      m_nAcceptPausedUntilMs = platform::MonotonicMs() + ACCEPT_PAUSE_MS;
      return;
    }
    link->nEvents = EPOLLIN;
    Emit(CJsonLine()
             .Str("event", "accept")
             .Int("link", link->nId)
             .Str("peer", link->strPeer)
             .Int("port", link->nPeerPort)
             .Done());
    m_mapLinks.emplace(link->nId, std::move(link));
  }
}

void COrvSim::ReadLink(SLink& link) {
  static thread_local std::vector<uint8_t> scratch(RECV_CHUNK);
  for (int round = 0; round < RECV_ROUNDS && !link.eDoom; ++round) {
    long n = platform::SocketRecv(link.hSocket, scratch.data(), scratch.size());
    if (n > 0) {
      Feed(link, scratch.data(), static_cast<size_t>(n));
      if (static_cast<size_t>(n) < scratch.size()) return;  // drained
    } else if (n == 0) {
      Doom(link, ECloseReason::kPeer);
    } else {
      if (errno != EAGAIN && errno != EWOULDBLOCK) Doom(link, ECloseReason::kError);
      return;
    }
  }
}

// The framer: 16 header bytes, then BodyLength (offset 6) body bytes,
// whatever HeaderLength says. Partial packets wait in vecRx.
void COrvSim::Feed(SLink& link, const uint8_t* data, size_t len) {
  if (link.nDiscard > 0) {
    const size_t skip = std::min(link.nDiscard, len);
    link.nDiscard -= skip;
    data += skip;
    len -= skip;
  }
  link.vecRx.insert(link.vecRx.end(), data, data + len);
  while (!link.eDoom && !link.bStalled) {
    const size_t avail = link.vecRx.size() - link.nRxStart;
    if (link.nDiscard > 0) {
      const size_t skip = std::min(link.nDiscard, avail);
      link.nDiscard -= skip;
      link.nRxStart += skip;
      if (link.nDiscard > 0) break;
      continue;
    }
    if (avail < HEADER_LENGTH) break;
    const uint8_t* p = link.vecRx.data() + link.nRxStart;
    const size_t body = GetU16(p + 6);
    if (body > static_cast<size_t>(MAX_PACKET_LENGTH)) {
      // Larger than any request: report the header, skip the body, keep the link.
      HandlePacket(link, p, body, true);
      link.nRxStart += HEADER_LENGTH;
      link.nDiscard = body;
      continue;
    }
    if (avail < HEADER_LENGTH + body) break;
    HandlePacket(link, p, body, false);
    link.nRxStart += HEADER_LENGTH + body;
  }
  if (link.nRxStart == link.vecRx.size()) {
    link.vecRx.clear();
    link.nRxStart = 0;
  } else if (link.nRxStart > RECV_CHUNK) {
    link.vecRx.erase(link.vecRx.begin(), link.vecRx.begin() + static_cast<long>(link.nRxStart));
    link.nRxStart = 0;
  }
}

void COrvSim::HandlePacket(SLink& link, const uint8_t* packet, size_t declaredBody, bool discarded) {
  const uint16_t code = GetU16(packet + 2);
  const uint16_t headerLength = GetU16(packet + 4);
  const size_t size = HEADER_LENGTH + declaredBody;
  ++m_mapReceived[code];
  CJsonLine json;
  json.Str("dir", "in").Int("link", link.nId).Int("code", code).Str("name", CodeName(code)).Int("size", size);
  if (headerLength != HEADER_LENGTH) json.Int("headerLength", headerLength);
  if (discarded) {
    Emit(json.Bool("discarded", true).Done());
    return;
  }
  const size_t expected = ClientPacketSize(code);
  if (expected != size) {
    // Unknown code, a code only the server sends, or a wrong size: shown, not answered.
    if (expected != 0) json.Int("expected", expected);
    Emit(json.Done());
    return;
  }
  AddFields(json, code, packet, size);
  Emit(json.Done());
  switch (code) {
    case C_LOGIN: AnswerLogin(link, packet); break;
    case C_LOGOUT: AnswerLogout(link, packet); break;
    case C_GET_RECORD_CALLID: AnswerGetCallID(link, packet); break;
    default: break;  // information, selection and keep-alive get no answer
  }
}

namespace {
std::string FieldText(const uint8_t* field, size_t width) {
  std::string text(width + 1, '\0');
  text.resize(GetText(field, width, text.data()));
  return text;
}
}  // namespace

// Counts the link in m_mapLoggedIn (delta +1) or takes it out (-1); nothing
// when the link is not logged in.
void COrvSim::IndexLogin(const SLink& link, int delta) {
  if (!link.bLoggedIn) return;
  auto aidIt = m_mapLoggedIn.find(link.strAID);
  if (delta > 0) {
    if (aidIt == m_mapLoggedIn.end()) aidIt = m_mapLoggedIn.emplace(link.strAID, std::unordered_map<std::string, int>()).first;
    aidIt->second[link.strExtNo] += delta;
    return;
  }
  if (aidIt == m_mapLoggedIn.end()) return;
  auto extIt = aidIt->second.find(link.strExtNo);
  if (extIt == aidIt->second.end()) return;
  extIt->second += delta;
  if (extIt->second <= 0) aidIt->second.erase(extIt);
  if (aidIt->second.empty()) m_mapLoggedIn.erase(aidIt);
}

// True when a link other than `link` is logged in with `aid` and an extension
// other than `ext`.
bool COrvSim::LoggedInElsewhere(const SLink& link, const std::string& aid, const std::string& ext) const {
  auto aidIt = m_mapLoggedIn.find(aid);
  if (aidIt == m_mapLoggedIn.end()) return false;
  const auto& exts = aidIt->second;
  const size_t others = exts.size() - (exts.count(ext) != 0 ? 1 : 0);
  if (others == 0) return false;
  if (others >= 2) return true;
  // One other extension: it does not count when this link is its only holder.
  if (link.bLoggedIn && link.strAID == aid && link.strExtNo != ext) {
    auto own = exts.find(link.strExtNo);
    return own != exts.end() && own->second > 1;
  }
  return true;
}

void COrvSim::AnswerLogin(SLink& link, const uint8_t* packet) {
  const std::string ext = FieldText(packet + layout::LOGIN_EXTNO, W_EXTNO);
  const std::string tenant = FieldText(packet + layout::LOGIN_TENANT, W_TENANT);
  const std::string aid = FieldText(packet + layout::LOGIN_AID, W_AID);
  const std::string pwd = FieldText(packet + layout::LOGIN_PWD, W_PWD);

  uint16_t result = 0;
  uint16_t recordType = 0;
  auto acc = std::find_if(m_vecAccounts.begin(), m_vecAccounts.end(),
                          [&](const SOrvAccount& a) { return a.strAID == aid; });
  if (acc == m_vecAccounts.end()) {
    result = 0;
  } else if (acc->nForcedResult >= 0) {
    result = static_cast<uint16_t>(acc->nForcedResult);
  } else if (acc->strPWD != pwd) {
    result = 1;
  } else if (LoggedInElsewhere(link, aid, ext)) {
    // Main and sub links log in with the same AID and extension.
    result = 2;
  } else if (acc->strTenant != tenant) {
    result = 6;
  } else if (!acc->vecExtensions.empty() &&
             std::find(acc->vecExtensions.begin(), acc->vecExtensions.end(), ext) == acc->vecExtensions.end()) {
    result = 7;
  } else {
    result = 3;
  }
  if (result == 3) {
    recordType = acc->nRecordType;
    IndexLogin(link, -1);
    link.bLoggedIn = true;
    link.strAID = aid;
    link.strExtNo = ext;
    link.strTenant = tenant;
    IndexLogin(link, +1);
  }
  uint8_t buf[SIZE_LOGIN_RESULT] = {};
  BuildHeader(buf, LEAD_DEFAULT, C_LOGIN_RESULT, sizeof(buf));
  PutU16(buf + layout::LOGIN_RESULT_CODE, result);
  PutU16(buf + layout::LOGIN_RESULT_RECTYPE, recordType);
  SendPacket(link, buf, sizeof(buf), false);
}

void COrvSim::AnswerLogout(SLink& link, const uint8_t* packet) {
  const std::string aid = FieldText(packet + layout::LOGOUT_AID, W_AID);
  int flag = link.bLoggedIn ? 1 : 0;
  for (const SOrvAccount& a : m_vecAccounts)
    if (a.strAID == aid && a.nLogoutFlag >= 0) flag = a.nLogoutFlag;
  IndexLogin(link, -1);
  link.bLoggedIn = false;
  uint8_t buf[SIZE_LOGOUT_RESULT] = {};
  BuildHeader(buf, LEAD_DEFAULT, C_LOGOUT_RESULT, sizeof(buf));
  buf[layout::LOGOUT_RESULT_FLAG] = static_cast<uint8_t>(flag);
  SendPacket(link, buf, sizeof(buf), false);
}

std::string COrvSim::NextCallID(const std::string& extNo) {
  const int n = ++m_mapCallCounters[extNo];
  const platform::SLocalTime t = platform::GetLocalTime();
  char date[16];
  ::snprintf(date, sizeof(date), "%04d%02d%02d", t.nYear % 10000, t.nMonth % 100, t.nDay % 100);
  char number[16];
  ::snprintf(number, sizeof(number), "%04d", n);
  return std::string(date) + "-" + extNo + "-" + number;
}

namespace {
void BuildCallIdResponse(uint8_t (&buf)[SIZE_GET_RECORD_CALLID_RESPONSE], const std::string& callId) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_GET_RECORD_CALLID_RESPONSE, sizeof(buf));
  PutText(buf + layout::CALLID_RESPONSE_CALLID, W_CALLID, callId.c_str());
}
}  // namespace

void COrvSim::AnswerGetCallID(SLink& link, const uint8_t* packet) {
  const std::string ext = FieldText(packet + layout::GETCALLID_EXTNO, W_EXTNO);
  uint8_t buf[SIZE_GET_RECORD_CALLID_RESPONSE];
  BuildCallIdResponse(buf, NextCallID(ext));
  SendPacket(link, buf, sizeof(buf), false);
}

void COrvSim::SendPacket(SLink& link, const uint8_t* data, size_t len, bool raw) {
  if (link.eDoom) return;
  CJsonLine json;
  json.Str("dir", "out").Int("link", link.nId);
  if (raw) {
    json.Int("bytes", len).Str("raw", ToHex(data, len));
  } else {
    const uint16_t code = GetU16(data + 2);
    ++m_mapSent[code];
    json.Int("code", code).Str("name", CodeName(code)).Int("size", len);
    AddFields(json, code, data, len);
  }
  Emit(json.Done());

  size_t off = 0;
  if (link.vecTx.size() == link.nTxStart) {
    link.vecTx.clear();
    link.nTxStart = 0;
    while (off < len) {
      long n = platform::SocketSend(link.hSocket, data + off, len - off);
      if (n > 0) {
        off += static_cast<size_t>(n);
      } else {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          Doom(link, ECloseReason::kError);
          return;
        }
        break;
      }
    }
  }
  if (off < len) {
    link.vecTx.insert(link.vecTx.end(), data + off, data + len);
    if (link.vecTx.size() - link.nTxStart > MAX_PENDING_SEND) {
      Doom(link, ECloseReason::kOverflow);
      return;
    }
    UpdateInterest(link);
  }
}

void COrvSim::FlushLink(SLink& link) {
  while (link.nTxStart < link.vecTx.size()) {
    long n = platform::SocketSend(link.hSocket, link.vecTx.data() + link.nTxStart, link.vecTx.size() - link.nTxStart);
    if (n > 0) {
      link.nTxStart += static_cast<size_t>(n);
    } else {
      if (errno != EAGAIN && errno != EWOULDBLOCK) Doom(link, ECloseReason::kError);
      return;
    }
  }
  link.vecTx.clear();
  link.nTxStart = 0;
  UpdateInterest(link);
}

void COrvSim::Doom(SLink& link, ECloseReason reason) {
  if (!link.eDoom) m_vecDoomed.push_back(link.nId);
  link.eDoom = reason;
}

// Closes the doomed links in id order.
void COrvSim::CloseDoomed() {
  if (m_vecDoomed.empty()) return;
  std::vector<int> doomed;
  doomed.swap(m_vecDoomed);
  std::sort(doomed.begin(), doomed.end());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
  for (int id : doomed) {
    auto it = m_mapLinks.find(id);
    if (it != m_mapLinks.end() && it->second->eDoom) CloseLink(id, *it->second->eDoom);
  }
}

void COrvSim::CloseLink(int id, ECloseReason reason) {
  auto it = m_mapLinks.find(id);
  if (it == m_mapLinks.end()) return;
  const int fd = it->second->hSocket;
  IndexLogin(*it->second, -1);
  if (m_hEpoll >= 0) ::epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, fd, nullptr);
  if (reason == ECloseReason::kReset) {
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  } else if (reason == ECloseReason::kDrop) {
    // FIN first, then read what is queued: closing with unread bytes would
    // send a reset instead.
    ::shutdown(fd, SHUT_WR);
    uint8_t sink[4096];
    for (int i = 0; i < 256 && ::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0; ++i) {
    }
  }
  ::close(fd);
  Emit(CJsonLine()
           .Str("event", "close")
           .Int("link", id)
           .Str("reason", ReasonText(static_cast<int>(reason)))
           .Done());
  m_mapLinks.erase(it);
}

std::string COrvSim::ForLinks(const std::string& target, const std::function<void(SLink&)>& act) {
  std::vector<SLink*> chosen;
  if (target == "all") {
    for (auto& entry : m_mapLinks) chosen.push_back(entry.second.get());
  } else {
    long id = 0;
    const std::string digits = !target.empty() && target[0] == '@' ? target.substr(1) : target;
    if (!ParseNumber(digits, 1, 0x7FFFFFFF, &id)) return "error: not a link id: " + target;
    auto it = m_mapLinks.find(static_cast<int>(id));
    if (it == m_mapLinks.end()) return "error: no link " + digits;
    chosen.push_back(it->second.get());
  }
  for (SLink* link : chosen) act(*link);
  return "ok " + LinkCountText(chosen.size());
}

// target: "all", "@LINKID", or an extension (the links logged in with it).
std::string COrvSim::PushToTargets(const std::string& target, const std::function<void(SLink&)>& push) {
  if (target == "all" || (!target.empty() && target[0] == '@')) return ForLinks(target, push);
  const std::string ext = platform::Utf8ToCp949(target);
  size_t n = 0;
  for (auto& entry : m_mapLinks) {
    SLink& link = *entry.second;
    if (link.bLoggedIn && link.strExtNo == ext) {
      push(link);
      ++n;
    }
  }
  if (n == 0) return "error: no link logged in with extension " + target;
  return "ok " + LinkCountText(n);
}

std::string COrvSim::Execute(const std::vector<std::string>& args) {
  if (args.empty() || args[0][0] == '#') return "ok";
  const std::string& cmd = args[0];
  auto usage = [&](const char* text) { return std::string("error: usage: ") + text; };
  long v = 0;

  if (cmd == "rectype" || cmd == "status") {
    if (args.size() != 3 || !ParseNumber(args[2], 0, 65535, &v))
      return usage(cmd == "rectype" ? "rectype EXT|all|@LINK VALUE(0-65535)" : "status EXT|all|@LINK VALUE(0-65535)");
    const uint16_t code = cmd == "rectype" ? C_RECORD_TYPE_CHANGED : C_AGENT_STATUS_CHANGED;
    uint8_t buf[SIZE_RECORD_TYPE_CHANGED] = {};
    BuildHeader(buf, LEAD_DEFAULT, code, sizeof(buf));
    PutU16(buf + layout::CHANGED_VALUE, static_cast<uint16_t>(v));
    return PushToTargets(args[1], [&](SLink& link) { SendPacket(link, buf, sizeof(buf), false); });
  }
  if (cmd == "alarm") {
    if (args.size() < 3) return usage("alarm EXT|all|@LINK AGENT");
    uint8_t buf[SIZE_LOGOUT_ALARM] = {};
    BuildHeader(buf, LEAD_DEFAULT, C_LOGOUT_ALARM, sizeof(buf));
    PutText(buf + layout::LOGOUT_ALARM_AGENT, W_ALARM_AGENT, platform::Utf8ToCp949(JoinFrom(args, 2)).c_str());
    return PushToTargets(args[1], [&](SLink& link) { SendPacket(link, buf, sizeof(buf), false); });
  }
  if (cmd == "callid") {
    if (args.size() < 2) return usage("callid EXT|all|@LINK [ID]");
    const std::string given = platform::Utf8ToCp949(JoinFrom(args, 2));
    return PushToTargets(args[1], [&](SLink& link) {
      uint8_t buf[SIZE_GET_RECORD_CALLID_RESPONSE];
      BuildCallIdResponse(buf, args.size() > 2 ? given : NextCallID(link.strExtNo));
      SendPacket(link, buf, sizeof(buf), false);
    });
  }
  if (cmd == "drop" || cmd == "reset") {
    if (args.size() != 2) return usage(cmd == "drop" ? "drop all|LINK" : "reset all|LINK");
    const ECloseReason reason = cmd == "drop" ? ECloseReason::kDrop : ECloseReason::kReset;
    std::vector<int> ids;
    std::string r = ForLinks(args[1], [&](SLink& link) { ids.push_back(link.nId); });
    for (int id : ids) CloseLink(id, reason);
    return r;
  }
  if (cmd == "stall" || cmd == "unstall") {
    if (args.size() != 2) return usage(cmd == "stall" ? "stall all|LINK" : "unstall all|LINK");
    const bool stall = cmd == "stall";
    return ForLinks(args[1], [&](SLink& link) {
      link.bStalled = stall;
      UpdateInterest(link);
      // Packets that arrived whole while stalled are handled now.
      if (!stall) Feed(link, nullptr, 0);
    });
  }
  if (cmd == "raw") {
    std::vector<uint8_t> bytes;
    if (args.size() < 3 || !ParseHex(JoinFrom(args, 2), &bytes)) return usage("raw all|LINK HEXBYTES");
    return ForLinks(args[1], [&](SLink& link) { SendPacket(link, bytes.data(), bytes.size(), true); });
  }
  if (cmd == "stop") {
    if (m_hListen < 0) return "error: not listening";
    CloseListener();
    return "ok stopped listening on port " + std::to_string(m_nPort);
  }
  if (cmd == "start") {
    if (!m_bRunning) return "error: the simulator is not running";
    if (m_hListen >= 0) return "error: already listening on port " + std::to_string(m_nPort);
    if (!OpenListener()) return "error: cannot listen on " + m_strBindAddr + ":" + std::to_string(m_nPort) + ": " +
                                ::strerror(errno);
    return "ok listening on port " + std::to_string(m_nPort);
  }
  if (cmd == "links") {
    std::string r = "ok " + LinkCountText(m_mapLinks.size());
    for (const auto& [id, link] : m_mapLinks) {
      r += "\n" + std::to_string(id) + " " + link->strPeer + ":" + std::to_string(link->nPeerPort);
      if (link->bLoggedIn) {
        r += " AID=" + platform::Cp949ToUtf8(link->strAID) + " ExtNo=" + platform::Cp949ToUtf8(link->strExtNo) +
             " Tenant=" + platform::Cp949ToUtf8(link->strTenant);
      } else {
        r += " not-logged-in";
      }
      if (link->bStalled) r += " stalled";
    }
    return r;
  }
  if (cmd == "help") {
    return "ok commands: rectype|status EXT|all|@LINK VALUE; alarm EXT|all|@LINK AGENT; callid EXT|all|@LINK [ID]; "
           "drop|reset|stall|unstall all|LINK; raw all|LINK HEX; stop; start; links; sleep MS";
  }
  return "error: unknown command '" + cmd + "' (try help)";
}

std::string COrvSim::Command(const std::string& line) {
  const std::vector<std::string> args = SplitWords(line);
  if (args.empty() || args[0][0] == '#') return "ok";
  if (args[0] == "sleep") {
    // Pauses the caller (a script), never the worker.
    long ms = 0;
    if (args.size() != 2 || !ParseNumber(args[1], 0, 3600000, &ms)) return "error: usage: sleep MS";
    platform::SleepMs(static_cast<int>(ms));
    return "ok";
  }
  std::unique_lock<std::mutex> lk(m_lock);
  if (!m_bRunning || std::this_thread::get_id() == m_workerId) {
    // No worker to race with, or we are the worker (a command from the output function).
    const bool onWorker = m_bRunning;
    std::string result = Execute(args);
    CloseDoomed();
    lk.unlock();
    if (!onWorker) FlushOutput();
    return result;
  }
  auto req = std::make_shared<SRequest>();
  req->strLine = line;
  m_queRequests.push_back(req);
  Wake();
  m_cvDone.wait(lk, [&] { return req->bDone; });
  return req->strResult;
}

bool COrvSim::RunScript(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error != nullptr) *error = "cannot open " + path;
    return false;
  }
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    const std::string result = Command(line);
    if (result.rfind("error", 0) == 0) {
      if (error != nullptr) *error = path + ":" + std::to_string(lineNo) + ": " + result;
      return false;
    }
  }
  return true;
}

size_t COrvSim::LinkCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_mapLinks.size();
}

std::vector<int> COrvSim::LinkIds() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<int> ids;
  for (const auto& entry : m_mapLinks) ids.push_back(entry.first);
  return ids;
}

std::vector<SOrvLinkInfo> COrvSim::Links() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<SOrvLinkInfo> v;
  for (const auto& [id, link] : m_mapLinks) {
    SOrvLinkInfo info;
    info.nId = id;
    info.strPeer = link->strPeer;
    info.nPeerPort = link->nPeerPort;
    info.bLoggedIn = link->bLoggedIn;
    info.bStalled = link->bStalled;
    info.strAID = link->strAID;
    info.strExtNo = link->strExtNo;
    info.strTenant = link->strTenant;
    v.push_back(std::move(info));
  }
  return v;
}

bool COrvSim::IsListening() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_hListen >= 0;
}

size_t COrvSim::PacketsReceived(uint16_t code) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_mapReceived.find(code);
  return it == m_mapReceived.end() ? 0 : it->second;
}

size_t COrvSim::PacketsSent(uint16_t code) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_mapSent.find(code);
  return it == m_mapSent.end() ? 0 : it->second;
}

bool COrvSim::WaitFor(std::function<bool()> pred, int ms) {
  const uint64_t deadline = platform::MonotonicMs() + static_cast<uint64_t>(ms < 0 ? 0 : ms);
  for (;;) {
    if (pred()) return true;
    if (platform::MonotonicMs() >= deadline) return false;
    platform::SleepMs(1);
  }
}

// Caller holds m_lock.
void COrvSim::Emit(std::string line) { m_vecPendingOut.push_back(std::move(line)); }

// Caller holds neither lock.
void COrvSim::FlushOutput() {
  if (t_bInOutput) return;  // the outer flush picks the new lines up
  std::lock_guard<std::mutex> out(m_outputLock);
  t_bInOutput = true;
  for (;;) {
    std::vector<std::string> lines;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      lines.swap(m_vecPendingOut);
    }
    if (lines.empty()) break;
    if (m_fnOutput)
      for (const std::string& line : lines) m_fnOutput(line);
  }
  t_bInOutput = false;
}

// Caller holds m_lock.
void COrvSim::Wake() {
  if (m_hWake < 0) return;
  const uint64_t one = 1;
  ssize_t rc = ::write(m_hWake, &one, sizeof(one));
  (void)rc;  // a full counter still wakes the worker
}

}  // namespace tessor
