#include "module/TessorApp.h"

#include <atomic>

#include "common/Log.h"
#include "common/RunFlag.h"
#include "link/NThread.h"
#include "platform/HostLoop.h"

namespace tessor {

namespace {

// Trivially destructible, so that the second of the two end paths below
// can still test it after the app object itself has been destroyed.
std::atomic<bool> g_bModuleEnded{false};

// The one module object. Its destructor is the end path of a normal
// process exit (static destructors run before the library's fini array
// there); the destructor function below is the end path of dlclose (the
// fini array runs before the library's static destructors there).
CTessorApp g_theApp;

__attribute__((destructor)) void ModuleEnd() { CTessorApp::ExitInstance(); }

}  // namespace

CTessorApp::CTessorApp() { InitInstance(); }

CTessorApp::~CTessorApp() { ExitInstance(); }

bool CTessorApp::InitInstance() {
  g_bRun = true;
  return true;
}

int CTessorApp::ExitInstance() {
  if (g_bModuleEnded.exchange(true)) return 0;
  WriteLog("ExitInstance - g_bRun set false");
  g_bRun = false;
  // Permanent: nothing of this module may wait on a host thread any more.
  platform::CancelAllSends();
  WakeAllLinkThreads();
  return JoinAllLinkThreads(MODULE_END_JOIN_MS);
}

bool CTessorApp::HasEnded() { return g_bModuleEnded.load(); }

}  // namespace tessor
