#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <glob.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "link/Protocol.h"
#include "platform/HostLoop.h"
#include "platform/Thread.h"
#include "tools/orvsim/OrvSim.h"

namespace tessor::bench {

// ---- report lines -------------------------------------------------------------

namespace {
std::string Num(double v) {
  if (std::isnan(v)) return "-";
  return Fmt("%.3f", v);
}
}  // namespace

std::string Fmt(const char* format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, format);
  ::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  return buf;
}

void Figure(const std::string& name, double ours, double baseline, const char* unit) {
  const double ratio = baseline != 0.0 ? ours / baseline : NAN;
  ::printf("FIGURE %s %s %s %s %s\n", name.c_str(), Num(ours).c_str(), Num(baseline).c_str(), Num(ratio).c_str(), unit);
  ::fflush(stdout);
}

void Figure(const std::string& name, double ours, const char* unit) {
  ::printf("FIGURE %s %s - - %s\n", name.c_str(), Num(ours).c_str(), unit);
  ::fflush(stdout);
}

void Target(const std::string& name, bool met, const std::string& why) {
  if (met)
    ::printf("TARGET %s met\n", name.c_str());
  else
    ::printf("TARGET %s missed (%s)\n", name.c_str(), why.c_str());
  ::fflush(stdout);
}

void Note(const std::string& text) {
  ::printf("NOTE %s\n", text.c_str());
  ::fflush(stdout);
}

namespace {
// The bench folder of this process, removed also when a figure fails.
std::string& FolderRoot() {
  static std::string* root = new std::string;
  return *root;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// The folder and its siblings "ROOT-*" (the direct baselines' folders).
void RemoveFolder(const std::string& root) {
  if (root.empty()) return;
  ::nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  glob_t g{};
  if (::glob((root + "-*").c_str(), 0, nullptr, &g) == 0)
    for (size_t i = 0; i < g.gl_pathc; ++i) ::nftw(g.gl_pathv[i], RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  ::globfree(&g);
}
}  // namespace

void Fail(const std::string& what) {
  ::printf("FAIL %s\n", what.c_str());
  ::fflush(stdout);
  RemoveFolder(FolderRoot());
  ::_exit(2);
}

// ---- time and statistics ----------------------------------------------------------

uint64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const double pos = p / 100.0 * static_cast<double>(v.size() - 1);
  const size_t lo = static_cast<size_t>(pos);
  const size_t hi = std::min(lo + 1, v.size() - 1);
  const double frac = pos - static_cast<double>(lo);
  return v[lo] + (v[hi] - v[lo]) * frac;
}

double Median(std::vector<double> v) { return Percentile(std::move(v), 50.0); }

std::vector<double> MeasurePausesMs(int samples) {
  std::vector<double> out;
  out.reserve(static_cast<size_t>(samples));
  std::thread t([&] {
    platform::SetPreciseTimers();  // as the receive thread does
    for (int i = 0; i < samples; ++i) {
      const uint64_t t0 = NowNs();
      platform::SleepMs(1);
      out.push_back(NsToMs(NowNs() - t0));
    }
  });
  t.join();
  return out;
}

std::vector<double> MeasureOneWayMs(int samples) {
  int a = -1, b = -1;
  if (!LoopbackPair(&a, &b)) Fail("loopback pair for the one-way time");
  std::vector<double> out(static_cast<size_t>(samples), 0.0);
  std::atomic<uint64_t> sent_at{0};
  std::atomic<int> done{0};
  std::thread reader([&] {
    platform::SetPreciseTimers();
    uint8_t buf[240];
    for (int i = 0; i < samples; ++i) {
      pollfd p{b, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) break;
      if (!ReadAll(b, buf, sizeof(buf), 5000)) break;
      out[static_cast<size_t>(i)] = NsToMs(NowNs() - sent_at.load());
      done.store(i + 1);
      done.notify_one();
    }
  });
  uint8_t pkt[240];
  BuildCallIdResponse(pkt, "20240305-0001");
  for (int i = 0; i < samples; ++i) {
    platform::SleepMs(1);  // the reader is back in its wait
    sent_at.store(NowNs());
    if (!WriteAll(a, pkt, sizeof(pkt))) break;
    const uint64_t deadline = NowNs() + 5000000000ULL;
    int seen;
    while ((seen = done.load()) < i + 1 && NowNs() < deadline) done.wait(seen);
  }
  reader.join();
  ::close(a);
  ::close(b);
  if (done.load() != samples) Fail("one-way time: the reader lost a sample");
  return out;
}

// ---- the log folder ---------------------------------------------------------------

CLogFolder::CLogFolder() {
  char templ[] = "/tmp/tessor-bench-XXXXXX";
  const char* made = ::mkdtemp(templ);
  if (made == nullptr) Fail("mkdtemp");
  m_strRoot = made;
  m_strLog = m_strRoot + "/log";
  FolderRoot() = m_strRoot;
  ::setenv("TESSOR_LOG_DIR", m_strLog.c_str(), 1);
}

CLogFolder::~CLogFolder() {
  RemoveFolder(m_strRoot);
  FolderRoot().clear();
}

// ---- loopback sockets ---------------------------------------------------------------

int ListenLoopback(uint16_t* port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  socklen_t len = sizeof(sa);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

int ConnectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

bool WriteAll(int fd, const void* data, size_t len, int timeout_ms) {
  const auto* p = static_cast<const char*>(data);
  const uint64_t deadline = NowNs() + static_cast<uint64_t>(timeout_ms) * 1000000ULL;
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const uint64_t now = NowNs();
      if (now >= deadline) return false;
      pollfd pf{fd, POLLOUT, 0};
      ::poll(&pf, 1, static_cast<int>((deadline - now) / 1000000ULL) + 1);
      continue;
    }
    return false;
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t len, int timeout_ms) {
  auto* p = static_cast<char*>(data);
  const uint64_t deadline = NowNs() + static_cast<uint64_t>(timeout_ms) * 1000000ULL;
  while (len > 0) {
    ssize_t n = ::recv(fd, p, len, MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const uint64_t now = NowNs();
    if (now >= deadline) return false;
    pollfd pf{fd, POLLIN, 0};
    ::poll(&pf, 1, static_cast<int>((deadline - now) / 1000000ULL) + 1);
  }
  return true;
}

bool LoopbackPair(int* a, int* b) {
  uint16_t port = 0;
  int l = ListenLoopback(&port, 1);
  if (l < 0) return false;
  *a = ConnectLoopback(port);
  *b = *a >= 0 ? ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  ::close(l);
  if (*b < 0) return false;
  int one = 1;
  ::setsockopt(*b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return true;
}

bool RaiseFileLimit(rlim_t want) {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return false;
  if (r.rlim_cur >= want) return true;
  if (r.rlim_max != RLIM_INFINITY && r.rlim_max < want) return false;
  r.rlim_cur = want;
  return ::setrlimit(RLIMIT_NOFILE, &r) == 0;
}

void BuildCallIdResponse(uint8_t (&buf)[240], const char* callID) {
  ::memset(buf, 0, sizeof(buf));
  BuildHeader(buf, LEAD_DEFAULT, C_GET_RECORD_CALLID_RESPONSE, sizeof(buf));
  PutText(buf + layout::CALLID_RESPONSE_CALLID, W_CALLID, callID);
}

// ---- the draining peer ------------------------------------------------------------------

CDrainPeer::~CDrainPeer() { Stop(); }

bool CDrainPeer::Start() {
  m_hListen = ListenLoopback(&m_nPort);
  if (m_hListen < 0) return false;
  if (::pipe2(m_hWake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  m_thread = std::thread([this] { Loop(); });
  return true;
}

int CDrainPeer::Connection(int index, int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return m_nConns > index; })) return -1;
  return m_conns[index];
}

void CDrainPeer::Loop() {
  bool dead[kMaxConns] = {};
  // Bounded: Stop ends it, and so does the end of a generous lifetime.
  const uint64_t deadline = NowNs() + 600ULL * 1000000000ULL;
  while (NowNs() < deadline) {
    pollfd fds[2 + kMaxConns];
    int slot[2 + kMaxConns];
    int n = 0;
    fds[n++] = {m_hWake[0], POLLIN, 0};
    fds[n++] = {m_hListen, POLLIN, 0};
    int nconns;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      nconns = m_nConns;
    }
    for (int i = 0; i < nconns; ++i) {
      if (dead[i]) continue;
      slot[n] = i;
      fds[n++] = {m_conns[i], POLLIN, 0};
    }
    if (::poll(fds, static_cast<nfds_t>(n), 1000) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;  // Stop
    if (fds[1].revents & POLLIN) {
      int fd = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_nConns < kMaxConns)
          m_conns[m_nConns++] = fd;
        else
          ::close(fd);
      }
      m_cv.notify_all();
    }
    for (int k = 2; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      for (;;) {
        ssize_t r = ::recv(fds[k].fd, m_buf, sizeof(m_buf), MSG_DONTWAIT);
        if (r > 0) {
          m_nBytes.fetch_add(static_cast<uint64_t>(r));
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) dead[slot[k]] = true;
        break;
      }
    }
  }
}

void CDrainPeer::Stop() {
  if (m_thread.joinable()) {
    char c = 1;
    ssize_t w = ::write(m_hWake[1], &c, 1);
    (void)w;
    m_thread.join();
  }
  std::lock_guard<std::mutex> guard(m_lock);
  for (int i = 0; i < m_nConns; ++i) ::close(m_conns[i]);
  m_nConns = 0;
  if (m_hListen >= 0) ::close(m_hListen);
  m_hListen = -1;
  for (int& fd : m_hWake) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

// ---- the simulator in a child process ---------------------------------------------------------

namespace {
// Pipes between this process and the simulator's: blocking writes.
bool WritePipe(int fd, const char* p, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadLine(int fd, std::string* out, int timeout_ms) {
  out->clear();
  const uint64_t deadline = NowNs() + static_cast<uint64_t>(timeout_ms) * 1000000ULL;
  for (;;) {
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n == 1) {
      if (c == '\n') return true;
      out->push_back(c);
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return false;
    const uint64_t now = NowNs();
    if (now >= deadline) return false;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>((deadline - now) / 1000000ULL) + 1);
  }
}

[[noreturn]] void SimChild(int cmd, int reply) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  COrvSim sim;
  if (!sim.Start(0)) {
    WritePipe(reply, "0\n", 2);
    ::_exit(1);
  }
  const std::string port = std::to_string(sim.Port()) + "\n";
  WritePipe(reply, port.data(), port.size());
  std::string line;
  // Bounded: the parent closes the pipe when done, and dies with SIGKILL to us.
  while (ReadLine(cmd, &line, 600000)) {
    std::string answer = sim.Command(line);
    std::replace(answer.begin(), answer.end(), '\n', ' ');
    answer.push_back('\n');
    if (!WritePipe(reply, answer.data(), answer.size())) break;
  }
  sim.Stop();
  ::_exit(0);
}
}  // namespace

CSimProcess::~CSimProcess() { Stop(); }

bool CSimProcess::Start() {
  int cmd[2], reply[2];
  if (::pipe2(cmd, O_CLOEXEC) != 0 || ::pipe2(reply, O_CLOEXEC) != 0) return false;
  ::fflush(stdout);
  ::fflush(stderr);
  m_pid = ::fork();
  if (m_pid < 0) return false;
  if (m_pid == 0) {
    ::close(cmd[1]);
    ::close(reply[0]);
    SimChild(cmd[0], reply[1]);
  }
  ::close(cmd[0]);
  ::close(reply[1]);
  m_hCmd = cmd[1];
  m_hReply = reply[0];
  ::fcntl(m_hReply, F_SETFL, ::fcntl(m_hReply, F_GETFL) | O_NONBLOCK);
  std::string line;
  if (!ReadLine(m_hReply, &line, 5000)) return false;
  m_nPort = static_cast<uint16_t>(::atoi(line.c_str()));
  return m_nPort != 0;
}

std::string CSimProcess::Command(const std::string& line) {
  const std::string out = line + "\n";
  if (m_hCmd < 0 || !WritePipe(m_hCmd, out.data(), out.size())) return "error: no simulator";
  std::string answer;
  if (!ReadLine(m_hReply, &answer, 10000)) return "error: no answer";
  return answer;
}

void CSimProcess::Stop() {
  if (m_hCmd >= 0) ::close(m_hCmd);
  m_hCmd = -1;
  if (m_pid > 0) {
    // Bounded: 5 s for an orderly end, then it is killed.
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        break;
      }
      platform::SleepMs(10);
    }
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, &status, 0);
      m_pid = -1;
    }
  }
  if (m_hReply >= 0) ::close(m_hReply);
  m_hReply = -1;
}

// ---- the control ---------------------------------------------------------------------

void CEventLog::OnEvent(int dispid, const char*, const std::vector<CVariant>&) {
  const uint64_t t = NowNs();
  if (dispid < 0 || dispid >= 8) return;
  ++m_count[dispid];
  m_last[dispid] = t;
  if (dispid != DISPID_EVENT_SETCURRENTCALLID) return;
  m_nCallIds.fetch_add(1);
  if (m_bKeep && m_times.size() < m_times.capacity()) m_times.push_back(t);
}

bool Pump(const std::function<bool()>& pred, int ms) {
  return platform::CHostLoop::ForCurrentThread()->RunUntil(pred, ms);
}

void PumpFor(int ms) { platform::CHostLoop::ForCurrentThread()->RunFor(ms); }

bool ConnectBothAndLogin(CTessorCtrl& ctrl, CEventLog& events, uint16_t port) {
  const int base = events.Count(DISPID_EVENT_LOGINSUCCESS);
  // An I2 port: the control takes its low 16 bits, so ports above 32767 work.
  const auto p = static_cast<int16_t>(port);
  if (ctrl.ConnectToORV("127.0.0.1", p) != 1) return false;
  ctrl.LoginToORV(kExtNo, kAID, kPWD, kTenant);
  if (!Pump([&] { return events.Count(DISPID_EVENT_LOGINSUCCESS) >= base + 1; }, 3000)) return false;
  // The sub link logs in by itself with the stored login.
  if (ctrl.ConnectToORV2("127.0.0.1", p) != 1) return false;
  return Pump([&] { return events.Count(DISPID_EVENT_LOGINSUCCESS) >= base + 2; }, 3000);
}

// ---- /proc --------------------------------------------------------------------------------

namespace {
long StatusField(const char* text, const char* key) {
  const char* p = ::strstr(text, key);
  if (p == nullptr) return -1;
  return ::strtol(p + ::strlen(key), nullptr, 10);
}

bool ReadFile(const char* path, char* buf, size_t size) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = ::read(fd, buf, size - 1);
  ::close(fd);
  if (n < 0) return false;
  buf[n] = '\0';
  return true;
}
}  // namespace

SMemory ReadMemory() {
  char buf[8192];
  SMemory m;
  if (!ReadFile("/proc/self/status", buf, sizeof(buf))) return m;
  m.nRssKiB = StatusField(buf, "VmRSS:");
  m.nAnonKiB = StatusField(buf, "RssAnon:");
  m.nFileKiB = StatusField(buf, "RssFile:");
  return m;
}

std::vector<std::pair<std::string, long>> ReadMappings() {
  std::vector<std::pair<std::string, long>> out;
  FILE* f = ::fopen("/proc/self/smaps", "re");
  if (f == nullptr) return out;
  char line[1024];
  std::string current;
  while (::fgets(line, sizeof(line), f) != nullptr) {
    if (::strncmp(line, "Rss:", 4) == 0) {
      out.emplace_back(current, ::strtol(line + 4, nullptr, 10));
    } else if (line[0] != '\0' && ::strchr(line, '-') != nullptr && ::strchr(line, ':') != nullptr &&
               ((line[0] >= '0' && line[0] <= '9') || (line[0] >= 'a' && line[0] <= 'f'))) {
      // "start-end perms offset dev inode path": keep the range and the path.
      char range[64] = {0}, path[512] = {0};
      ::sscanf(line, "%63s %*s %*s %*s %*s %511[^\n]", range, path);
      current = std::string(range) + " " + path;
    }
  }
  ::fclose(f);
  return out;
}

std::vector<std::pair<std::string, long>> MappingGrowth(const std::vector<std::pair<std::string, long>>& before,
                                                        const std::vector<std::pair<std::string, long>>& after) {
  std::vector<std::pair<std::string, long>> out;
  for (const auto& [name, rss] : after) {
    long old = 0;
    for (const auto& [n0, r0] : before)
      if (n0 == name) old = r0;
    if (rss != old) out.emplace_back(name, rss - old);
  }
  for (const auto& [n0, r0] : before) {
    bool found = false;
    for (const auto& [name, rss] : after) found = found || name == n0;
    if (!found && r0 != 0) out.emplace_back(n0 + " (gone)", -r0);
  }
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return std::labs(a.second) > std::labs(b.second); });
  return out;
}

SSwitches ReadSwitches() {
  SSwitches s;
  DIR* d = ::opendir("/proc/self/task");
  if (d == nullptr) return s;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char path[128], buf[8192];
    ::snprintf(path, sizeof(path), "/proc/self/task/%s/status", e->d_name);
    if (!ReadFile(path, buf, sizeof(buf))) continue;
    const long v = StatusField(buf, "\nvoluntary_ctxt_switches:");
    const long nv = StatusField(buf, "\nnonvoluntary_ctxt_switches:");
    if (v >= 0) s.nVoluntary += static_cast<uint64_t>(v);
    if (nv >= 0) s.nInvoluntary += static_cast<uint64_t>(nv);
    ++s.nThreads;
  }
  ::closedir(d);
  return s;
}

std::vector<SThreadCounters> ReadThreads() {
  std::vector<SThreadCounters> out;
  DIR* d = ::opendir("/proc/self/task");
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    SThreadCounters t;
    t.nTid = ::atoi(e->d_name);
    char path[128], buf[8192];
    ::snprintf(path, sizeof(path), "/proc/self/task/%s/schedstat", e->d_name);
    if (ReadFile(path, buf, sizeof(buf))) t.nCpuNs = ::strtoull(buf, nullptr, 10);
    ::snprintf(path, sizeof(path), "/proc/self/task/%s/status", e->d_name);
    if (ReadFile(path, buf, sizeof(buf))) {
      t.nVoluntary = static_cast<uint64_t>(std::max(0L, StatusField(buf, "\nvoluntary_ctxt_switches:")));
      t.nInvoluntary = static_cast<uint64_t>(std::max(0L, StatusField(buf, "\nnonvoluntary_ctxt_switches:")));
    }
    out.push_back(t);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.nTid < b.nTid; });
  return out;
}

double ProcessCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace tessor::bench
