// CScriptHost: one control driven by script lines, on the thread that
// creates the host (the host thread). It speaks to the library through the
// C API only.
//
// What runs where:
//   host thread     every command, the host loop, event printing, and the
//                   printing of message boxes that receive threads queued
//   receive thread  the message-box presenter: queues the box line and
//                   answers OK at once (with --interactive it waits until
//                   the host thread has printed the box, then for Enter)
//   helper thread   `message`: sends the window message, as a receive
//                   thread does, while the host thread pumps the loop
//
// Boxes are printed by the host thread while it pumps, so a transcript is
// the same from run to run: a box that a login answer raised appears after
// the login call's own result line, never inside it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <tessor/tessor.h>

#include "tools/cli/Output.h"
#include "tools/cli/ScriptParser.h"

namespace tessor {
class COrvSim;
}

namespace tessor::cli {

class CScriptHost {
 public:
  // pSim: the embedded simulator, or null. pTty: where --interactive reads
  // the Enter that closes a box (null: boxes close at once).
  CScriptHost(COutput& output, COrvSim* pSim, bool bInteractive, const char* szTtyPath);
  ~CScriptHost();
  CScriptHost(const CScriptHost&) = delete;
  CScriptHost& operator=(const CScriptHost&) = delete;

  // Creates the control through the factory, activates it on this thread,
  // connects the event sink and installs the box presenter.
  bool Open(std::string* pError);
  // Destroys the control; boxes still queued are printed first.
  void Close();

  // Runs one script line; answers false after `quit`.
  bool RunLine(const std::string& line);

  // Runs the host loop until fd polls readable (waiting for typed input).
  void PumpUntilReadable(int fd);

 private:
  struct SMember {
    int nDispId = 0;
    int nKind = 0;
    tessor_type eResult = TESSOR_EMPTY;
    std::vector<std::string> vecParamNames;
    std::vector<tessor_type> vecParamTypes;
  };

  static void OnEvent(void* user, int dispid, const char* name, const tessor_value* args, size_t nargs);
  static int OnMessageBox(void* user, const char* caption, const char* text, unsigned style);

  void Error(const std::string& reason);
  bool Substitute(std::vector<SToken>& tokens);
  void CallMethod(const std::string& name, const SMember& m, const std::vector<SToken>& args);
  void GetProperty(const std::vector<SToken>& args);
  void SetProperty(const std::vector<SToken>& args);
  void Pump(const std::vector<SToken>& args);
  void Wait(const std::vector<SToken>& args);
  void Message(const std::vector<SToken>& args);
  void Sim(const std::string& rest);
  bool ReadMs(const std::string& command, const SToken& token, int* pMs);

  // Runs the host loop until pred holds or ms pass (ms < 0: no limit);
  // with fd >= 0 also until fd polls readable. Answers pred's last value.
  bool RunLoopUntil(const std::function<bool()>& pred, int ms, int fd = -1);
  void DrainBoxes();
  void Signal();
  void WaitForEnter();

  COutput& m_output;
  COrvSim* m_pSim;
  const bool m_bInteractive;
  std::string m_strTtyPath;

  // Host thread only.
  tessor_control* m_pCtl = nullptr;
  int m_nCookie = 0;
  int m_hWake = -1;  // eventfd: a box was queued, a helper thread finished
  std::map<std::string, SMember> m_mapMembers;  // methods and properties
  std::map<std::string, int> m_mapEvents;
  std::string m_strWaitEvent;  // the event the current `wait` looks for
  bool m_bWaitHit = false;

  // Shared with the presenter on receive threads.
  std::mutex m_boxLock;
  std::condition_variable m_cvPrinted;
  std::vector<std::string> m_vecBoxes;  // box lines not yet printed
  uint64_t m_nBoxesQueued = 0;
  uint64_t m_nBoxesPrinted = 0;
  bool m_bClosed = false;  // after Close: the presenter prints directly
  std::atomic<unsigned> m_nBoxesShown{0};
};

}  // namespace tessor::cli
