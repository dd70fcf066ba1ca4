// CTessorApp: the module object. Loading the shared library starts the
// module (the run flag is set); unloading it, or the normal end of the
// process, ends it: the run flag is cleared and every receive thread is
// woken and joined, so that no thread still runs the library's code when
// that code or its static objects go away.
#pragma once

namespace tessor {

class CTessorApp {
 public:
  CTessorApp();
  ~CTessorApp();
  CTessorApp(const CTessorApp&) = delete;
  CTessorApp& operator=(const CTessorApp&) = delete;

  // Module start: sets g_bRun. Answers true (the module starts).
  static bool InitInstance();
  // Module end: logs, clears g_bRun, releases every pending cross-thread
  // send for good, wakes and joins the receive threads. Runs once; later
  // calls do nothing. Answers the number of threads still running when the
  // wait gave up (0 normally).
  static int ExitInstance();
  static bool HasEnded();
};

// How long module end waits for receive threads in total.
constexpr int MODULE_END_JOIN_MS = 2000;

}  // namespace tessor
