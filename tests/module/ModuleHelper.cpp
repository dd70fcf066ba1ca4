// tessor_module_helper LIBRARY MODE PORT
//
// A host process for the load and unload tests, so that a process end with
// links still connected can be watched from outside. It loads LIBRARY with
// dlopen, creates and activates a control, connects it to 127.0.0.1:PORT
// and sends a login, then, by MODE:
//
//   exit          returns from main with the link connected;
//   exit-pending  first waits until a receive thread's message is queued
//                 for this (never dispatching) host thread, then returns;
//   exit-box      first waits until a message box is open in a presenter
//                 that never closes it, then returns;
//   dlclose       does all of it on a second host thread, which runs its
//                 loop until the login result (the parent sends one) has
//                 arrived as LoginSuccess, so that the receive thread is
//                 surely running, and ends; then dlcloses the library with
//                 the control still alive, and returns.
//
// Lines on standard output tell the parent how far it got. A handler
// registered before the library is loaded runs after the module's end at
// exit and checks that no thread of the library is left (exit status 3);
// in exit-box mode the presenter's thread stays by design and is not
// counted.
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tessor/tessor.h"

#if defined(__SANITIZE_ADDRESS__)
// After dlclose the library's never-freed singletons lose their roots, and
// the controls left alive here on purpose are not freed either.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() { return 1; }
#endif

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_THREADS_LEFT = 3;
constexpr int EXIT_LOAD = 4;
constexpr int EXIT_CALL = 5;
constexpr int EXIT_TIMEOUT = 7;
constexpr int WAIT_MS = 10000;

int g_nBaseline = 0;        // threads before the library was loaded
bool g_bCountAtExit = true; // main thread only

int ThreadCount() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/task");
  if (d == nullptr) return -1;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}

void Say(const char* line) {
  ::printf("%s\n", line);
  ::fflush(stdout);
}

bool Wait(const std::function<bool()>& pred);

void CheckThreadsAtExit() {
  if (!g_bCountAtExit) return;
  // A joined thread may still be listed for a moment while the kernel
  // finishes it: wait for the count, bounded.
  Wait([] { return ThreadCount() == g_nBaseline; });
  const int now = ThreadCount();
  if (now != g_nBaseline) {
    ::fprintf(stderr, "threads at exit: %d, before the library: %d\n", now, g_nBaseline);
    ::_exit(EXIT_THREADS_LEFT);
  }
  Say("threads-ok");
}

struct SApi {
  decltype(&tessor_create) create;
  decltype(&tessor_activate) activate;
  decltype(&tessor_invoke) invoke;
  decltype(&tessor_loop_next_deadline_ms) nextDeadline;
  decltype(&tessor_set_msgbox_presenter) setPresenter;
  decltype(&tessor_connect_events) connectEvents;
  decltype(&tessor_loop_run_until) runUntil;
};

std::atomic<bool> g_bLoggedIn{false};

void OnEvent(void*, int, const char* name, const tessor_value*, size_t) {
  if (::strcmp(name, "LoginSuccess") == 0) g_bLoggedIn = true;
}

template <typename T>
bool Resolve(void* lib, const char* name, T* out) {
  *out = reinterpret_cast<T>(::dlsym(lib, name));
  return *out != nullptr;
}

bool Wait(const std::function<bool()>& pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Creates, activates, connects and logs in; the control is left alive.
int Session(const SApi& api, int port) {
  tessor_control* ctl = nullptr;
  if (api.create(TESSOR_PROGID_CONTROL, &ctl) != TESSOR_OK) return EXIT_CALL;
  if (api.activate(ctl) != TESSOR_OK) return EXIT_CALL;
  int cookie = 0;
  if (api.connectEvents(ctl, &OnEvent, nullptr, &cookie) != TESSOR_OK) return EXIT_CALL;
  tessor_value r{};
  const tessor_value connect[2] = {{TESSOR_TEXT, 0, "127.0.0.1"}, {TESSOR_I2, static_cast<int16_t>(port), nullptr}};
  if (api.invoke(ctl, "ConnectToORV", connect, 2, &r) != TESSOR_OK || r.i != 1) return EXIT_CALL;
  const tessor_value login[4] = {
      {TESSOR_TEXT, 0, "2001"}, {TESSOR_TEXT, 0, "A100"}, {TESSOR_TEXT, 0, "1234"}, {TESSOR_TEXT, 0, "T1"}};
  if (api.invoke(ctl, "LoginToORV", login, 4, &r) != TESSOR_OK || r.i != 1) return EXIT_CALL;
  Say("connected");
  return 0;
}

std::atomic<bool> g_bBoxOpen{false};

int NeverClosingBox(void*, const char*, const char*, unsigned) {
  g_bBoxOpen = true;
  // Never destroyed: a static one's destructor would wait for this waiter at exit.
  static auto* lock = new std::mutex;
  static auto* cv = new std::condition_variable;
  std::unique_lock<std::mutex> guard(*lock);
  cv->wait(guard, [] { return false; });
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    ::fprintf(stderr, "usage: tessor_module_helper LIBRARY MODE PORT\n");
    return EXIT_USAGE;
  }
  const char* path = argv[1];
  const std::string mode = argv[2];
  const int port = ::atoi(argv[3]);
  // A first thread makes a sanitizer runtime start its own helper thread,
  // which then belongs to the baseline.
  std::thread([] {}).join();
  g_nBaseline = ThreadCount();
  g_bCountAtExit = mode != "exit-box";
  ::atexit(CheckThreadsAtExit);

  void* lib = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    ::fprintf(stderr, "dlopen: %s\n", ::dlerror());
    return EXIT_LOAD;
  }
  SApi api{};
  if (!Resolve(lib, "tessor_create", &api.create) || !Resolve(lib, "tessor_activate", &api.activate) ||
      !Resolve(lib, "tessor_invoke", &api.invoke) || !Resolve(lib, "tessor_loop_next_deadline_ms", &api.nextDeadline) ||
      !Resolve(lib, "tessor_set_msgbox_presenter", &api.setPresenter) ||
      !Resolve(lib, "tessor_connect_events", &api.connectEvents) || !Resolve(lib, "tessor_loop_run_until", &api.runUntil))
    return EXIT_LOAD;

  if (mode == "dlclose") {
    int rc = 0;
    std::thread host([&] {
      rc = Session(api, port);
      auto loggedIn = [](void*) -> int { return g_bLoggedIn.load() ? 1 : 0; };
      if (rc == 0 && api.runUntil(loggedIn, nullptr, WAIT_MS) == 0) rc = EXIT_TIMEOUT;
    });
    host.join();
    if (rc != 0) return rc;
    // A library whose receive threads still run is kept loaded by the
    // system: unloading it now would pull the code from under them.
    ::dlclose(lib);
    Say(::dlopen(path, RTLD_NOW | RTLD_NOLOAD) != nullptr ? "still-loaded" : "unloaded");
    return 0;
  }

  if (mode == "exit-box") api.setPresenter(&NeverClosingBox, nullptr);
  const int rc = Session(api, port);
  if (rc != 0) return rc;
  if (mode == "exit-pending") {
    if (!Wait([&] { return api.nextDeadline() == 0; })) return EXIT_TIMEOUT;
    Say("pending");
  } else if (mode == "exit-box") {
    if (!Wait([] { return g_bBoxOpen.load(); })) return EXIT_TIMEOUT;
    Say("box-open");
  } else if (mode != "exit") {
    return EXIT_USAGE;
  }
  return 0;
}
