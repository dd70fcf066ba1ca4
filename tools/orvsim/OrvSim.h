// COrvSim: an ORV recording server played on loopback, for the tests, the
// benchmarks, the CLI and the stand-alone orv-sim program.
//
// One worker thread waits on an epoll set holding the listener and every link
// (non-blocking sockets, no limit but the descriptor limit), answers the login, logout and call-id
// requests from an accounts table, and pushes the unasked messages on
// command. Every packet received and sent, and every link event, becomes one
// JSON line handed to the output function.
//
// Client bytes never stop the worker: a BodyLength above MAX_PACKET_LENGTH
// is reported and its body read and thrown away (the link stays up), unknown
// codes and wrong sizes are reported and not answered, and a link that
// closes or resets at any point is simply removed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tessor {

// One entry of the accounts table. Texts are CP949 bytes, as on the wire.
struct SOrvAccount {
  std::string strAID;
  std::string strPWD;
  std::string strTenant;
  std::vector<std::string> vecExtensions;  // empty: any extension
  uint16_t nRecordType = 0;
  int nForcedResult = -1;  // 0..65535 answers every login of this AID; -1 decides by the fields
  int nLogoutFlag = -1;    // 0..255 forces byte 104 of the logout answer; -1: 1 when logged in
};

// What the "links" command and Links() report about one link.
struct SOrvLinkInfo {
  int nId = 0;
  std::string strPeer;  // dotted address
  uint16_t nPeerPort = 0;
  bool bLoggedIn = false;
  bool bStalled = false;
  std::string strAID;  // CP949, valid while logged in
  std::string strExtNo;
  std::string strTenant;
};

class COrvSim {
 public:
  COrvSim();
  ~COrvSim();  // Stop()
  COrvSim(const COrvSim&) = delete;
  COrvSim& operator=(const COrvSim&) = delete;

  // Binds (port 0: an ephemeral one) and starts the worker. False when the
  // address cannot be bound or the simulator already runs.
  bool Start(uint16_t port, const char* bind_addr = "127.0.0.1");
  // Joins the worker and closes the listener and every link.
  void Stop();
  // The port bound by Start (kept across "stop"/"start"); 0 before.
  uint16_t Port() const;

  // Receives every JSON line, on the worker thread (or on the caller of
  // Command while the worker is not running). It may call Command and the
  // queries, but not SetOutput, Start or Stop.
  void SetOutput(std::function<void(const std::string& jsonLine)> output);

  // Replaces the accounts table by a file's (format in README.md); on
  // failure the table is unchanged and *error says which line is wrong.
  bool LoadAccounts(const std::string& path, std::string* error);
  void SetAccounts(std::vector<SOrvAccount> accounts);
  static std::vector<SOrvAccount> DefaultAccounts();

  // JSON string escaping as the output lines use it (UTF-8 in and out).
  static std::string JsonEscape(const std::string& utf8);

  // Runs one command line (list in README.md) and answers "ok ..." or
  // "error: ...". Any thread. Socket work happens on the worker; the answer
  // comes after the command's packets were handed to the sockets and its
  // output lines were emitted.
  std::string Command(const std::string& line);
  // Runs a file of commands, one per line, "sleep MS" included; stops at the
  // first failing command and reports it in *error.
  bool RunScript(const std::string& path, std::string* error);

  // Queries for tests; any thread.
  size_t LinkCount();
  std::vector<int> LinkIds();
  std::vector<SOrvLinkInfo> Links();
  bool IsListening();
  size_t PacketsReceived(uint16_t code);  // over all links since construction
  size_t PacketsSent(uint16_t code);
  // Polls pred every millisecond until it holds (true) or ms have passed.
  bool WaitFor(std::function<bool()> pred, int ms);

 private:
  struct SLink;
  struct SRequest {
    std::string strLine;
    std::string strResult;
    bool bDone = false;
  };
  enum class ECloseReason { kPeer, kError, kDrop, kReset, kOverflow, kStop };

  void WorkerMain();
  void AcceptAll();
  void ReadLink(SLink& link);
  void FlushLink(SLink& link);
  void UpdateInterest(SLink& link);
  void ArmListener(bool armed);
  void IndexLogin(const SLink& link, int delta);
  bool LoggedInElsewhere(const SLink& link, const std::string& aid, const std::string& ext) const;
  void CloseLink(int id, ECloseReason reason);
  void Doom(SLink& link, ECloseReason reason);
  void CloseDoomed();
  void Feed(SLink& link, const uint8_t* data, size_t len);
  void HandlePacket(SLink& link, const uint8_t* packet, size_t declaredBody, bool discarded);
  void AnswerLogin(SLink& link, const uint8_t* packet);
  void AnswerLogout(SLink& link, const uint8_t* packet);
  void AnswerGetCallID(SLink& link, const uint8_t* packet);
  void SendPacket(SLink& link, const uint8_t* data, size_t len, bool raw);
  std::string NextCallID(const std::string& extNo);
  std::string Execute(const std::vector<std::string>& args);
  std::string PushToTargets(const std::string& target, const std::function<void(SLink&)>& push);
  std::string ForLinks(const std::string& target, const std::function<void(SLink&)>& act);
  bool OpenListener();
  void CloseListener();
  void Emit(std::string line);
  void FlushOutput();
  void Wake();

  // Lock order: m_outputLock before m_lock.
  // m_lock guards everything below it up to m_outputLock. The links and the
  // listener are changed only by the worker thread (or by the caller of
  // Command/Stop while no worker runs); other threads only read them.
  mutable std::mutex m_lock;
  std::map<int, std::unique_ptr<SLink>> m_mapLinks;
  std::vector<int> m_vecDoomed;  // ids of the links given an eDoom since the last CloseDoomed
  std::vector<SOrvAccount> m_vecAccounts;
  std::map<std::string, int> m_mapCallCounters;  // extension -> last call number
  // AID -> extension -> number of links logged in with both; no zero counts.
  std::unordered_map<std::string, std::unordered_map<std::string, int>> m_mapLoggedIn;
  std::map<uint16_t, size_t> m_mapReceived;
  std::map<uint16_t, size_t> m_mapSent;
  std::deque<std::shared_ptr<SRequest>> m_queRequests;
  std::condition_variable m_cvDone;  // a request was answered
  std::vector<std::string> m_vecPendingOut;  // lines not yet handed to the output
  std::string m_strBindAddr;
  uint16_t m_nPort = 0;
  int m_nNextLinkId = 1;
  int m_hListen = -1;
  int m_hWake = -1;  // eventfd; created and closed by the owner thread around the worker's life
  int m_hEpoll = -1;  // the worker's epoll set; same life as m_hWake
  bool m_bListenArmed = false;  // the listener's EPOLLIN is on (off while accepting is paused)
  bool m_bRunning = false;
  bool m_bStopping = false;
  std::thread::id m_workerId;
  uint64_t m_nAcceptPausedUntilMs = 0;  // out of descriptors: retry accept later

  // m_outputLock guards m_fnOutput and keeps lines in order.
  std::mutex m_outputLock;
  std::function<void(const std::string&)> m_fnOutput;

  // Owned by the thread that calls Start/Stop.
  std::thread m_thread;
};

}  // namespace tessor
