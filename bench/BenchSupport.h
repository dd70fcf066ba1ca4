// What the benchmark programs share: the report lines, statistics, a log
// folder of their own, loopback sockets, a draining peer, the simulator in a
// child process, an event recorder for the control, and readings of the
// process's own counters in /proc.
//
// Every figure is printed as one line
//   FIGURE name ours baseline ratio unit
// and every target as
//   TARGET name met            or   TARGET name missed (why)
// which bench/run gathers. Everything talks to 127.0.0.1 only, and every
// loop is bounded in count and in time.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/TessorCtrl.h"

namespace tessor::bench {

// ---- report lines -------------------------------------------------------------

// ratio = ours / baseline.
void Figure(const std::string& name, double ours, double baseline, const char* unit);
// A figure without a baseline (printed "-").
void Figure(const std::string& name, double ours, const char* unit);
void Target(const std::string& name, bool met, const std::string& why = std::string());
void Note(const std::string& text);
// Something could not be run: prints "FAIL what" and exits 2.
[[noreturn]] void Fail(const std::string& what);
std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- time and statistics ----------------------------------------------------------

uint64_t NowNs();  // CLOCK_MONOTONIC
inline double NsToMs(uint64_t ns) { return static_cast<double>(ns) / 1e6; }
double Median(std::vector<double> v);
double Percentile(std::vector<double> v, double p);  // p in [0, 100]

// The receive thread's pause, measured the way it sleeps: on a thread of its
// own with precise timer slack, one SleepMs(1) after another, with a short
// gap between samples. Answers the single pauses in ms.
std::vector<double> MeasurePausesMs(int samples);
// Loopback one-way time: a 240-byte write on one socket until a thread
// blocked in poll() on the other has read it. Answers ms per sample.
std::vector<double> MeasureOneWayMs(int samples);

// ---- the log folder ---------------------------------------------------------------

// A fresh folder under /tmp; TESSOR_LOG_DIR points at its "log" child. Set
// before anything logs; removed again at the end.
class CLogFolder {
 public:
  CLogFolder();
  ~CLogFolder();
  CLogFolder(const CLogFolder&) = delete;
  CLogFolder& operator=(const CLogFolder&) = delete;
  const std::string& Root() const { return m_strRoot; }
  const std::string& LogDir() const { return m_strLog; }

 private:
  std::string m_strRoot;
  std::string m_strLog;
};

// ---- loopback sockets ---------------------------------------------------------------

int ListenLoopback(uint16_t* port, int backlog = 16);
int ConnectLoopback(uint16_t port);  // blocking connect; -1 on failure
bool WriteAll(int fd, const void* data, size_t len, int timeout_ms = 5000);
bool ReadAll(int fd, void* data, size_t len, int timeout_ms = 5000);
// A connected TCP pair on 127.0.0.1 (both blocking, TCP_NODELAY).
bool LoopbackPair(int* a, int* b);
// Raises the soft descriptor limit to at least want (up to the hard limit).
bool RaiseFileLimit(rlim_t want);

// An inbound C_GET_RECORD_CALLID_RESPONSE (240 bytes) carrying callID at 80.
void BuildCallIdResponse(uint8_t (&buf)[240], const char* callID);

// Accepts connections on 127.0.0.1 and reads and drops whatever they send,
// on its own thread, without allocating while it runs. The benchmark writes
// to an accepted connection from its own thread.
class CDrainPeer {
 public:
  CDrainPeer() = default;
  ~CDrainPeer();
  CDrainPeer(const CDrainPeer&) = delete;
  CDrainPeer& operator=(const CDrainPeer&) = delete;

  bool Start();
  uint16_t Port() const { return m_nPort; }
  // The descriptor of the index-th accepted connection, waiting for it.
  int Connection(int index, int timeout_ms);
  uint64_t BytesRead() const { return m_nBytes.load(); }
  void Stop();

 private:
  static constexpr int kMaxConns = 32;
  void Loop();

  int m_hListen = -1;
  int m_hWake[2] = {-1, -1};
  uint16_t m_nPort = 0;
  std::mutex m_lock;
  std::condition_variable m_cv;
  int m_conns[kMaxConns] = {};
  int m_nConns = 0;  // guarded by m_lock
  std::atomic<uint64_t> m_nBytes{0};
  char m_buf[65536];  // the peer thread's; a member, not thread-local: TLS would grow every thread's stack
  std::thread m_thread;
};

// The simulator in a child process, so that its thread and its memory stay
// out of this process's counters. Start before this process has threads.
class CSimProcess {
 public:
  CSimProcess() = default;
  ~CSimProcess();
  CSimProcess(const CSimProcess&) = delete;
  CSimProcess& operator=(const CSimProcess&) = delete;

  bool Start();
  uint16_t Port() const { return m_nPort; }
  // Runs one simulator command; answers its reply line.
  std::string Command(const std::string& line);
  void Stop();

 private:
  pid_t m_pid = -1;
  int m_hCmd = -1;    // write end
  int m_hReply = -1;  // read end
  uint16_t m_nPort = 0;
};

// ---- the control ---------------------------------------------------------------------

// Records the events the control fires, with the time of each, on the host thread.
class CEventLog : public IEventSink {
 public:
  void OnEvent(int dispid, const char* name, const std::vector<CVariant>& args) override;
  int Count(int dispid) const { return dispid >= 0 && dispid < 8 ? m_count[dispid] : 0; }
  uint64_t LastNs(int dispid) const { return dispid >= 0 && dispid < 8 ? m_last[dispid] : 0; }
  // Keeps the time of every SetCurrentCallID in a reserved vector.
  void KeepCallIdTimes(size_t n) {
    m_times.clear();
    m_times.reserve(n);
    m_bKeep = true;
  }
  const std::vector<uint64_t>& CallIdTimes() const { return m_times; }
  // SetCurrentCallID events so far, readable from any thread.
  int CallIdsSeen() const { return m_nCallIds.load(); }

 private:
  int m_count[8] = {};
  uint64_t m_last[8] = {};
  bool m_bKeep = false;
  std::vector<uint64_t> m_times;
  std::atomic<int> m_nCallIds{0};
};

// Pumps the host loop of this thread until pred holds or ms pass.
bool Pump(const std::function<bool()>& pred, int ms);
void PumpFor(int ms);

constexpr const char* kAID = "A100";
constexpr const char* kPWD = "1234";
constexpr const char* kTenant = "T1";
constexpr const char* kExtNo = "2001";

// Connects the main and the sub link to the simulator and logs in on both;
// false when the second LoginSuccess does not come within 3 s.
bool ConnectBothAndLogin(CTessorCtrl& ctrl, CEventLog& events, uint16_t port);

// ---- /proc --------------------------------------------------------------------------------

struct SMemory {
  long nRssKiB = 0;
  long nAnonKiB = 0;
  long nFileKiB = 0;
};
SMemory ReadMemory();

// Resident KiB per mapping ("start-end path"), from /proc/self/smaps.
std::vector<std::pair<std::string, long>> ReadMappings();
// The mappings whose resident size changed between two readings, largest
// change first (for finding where memory went).
std::vector<std::pair<std::string, long>> MappingGrowth(const std::vector<std::pair<std::string, long>>& before,
                                                        const std::vector<std::pair<std::string, long>>& after);

struct SSwitches {
  uint64_t nVoluntary = 0;
  uint64_t nInvoluntary = 0;
  int nThreads = 0;
};
// Summed over the threads of this process now.
SSwitches ReadSwitches();
// Per thread: id, CPU time (schedstat, ns), voluntary and involuntary switches.
struct SThreadCounters {
  int nTid = 0;
  uint64_t nCpuNs = 0;
  uint64_t nVoluntary = 0;
  uint64_t nInvoluntary = 0;
};
std::vector<SThreadCounters> ReadThreads();
// CPU time of the whole process (every thread), ms.
double ProcessCpuMs();

}  // namespace tessor::bench
