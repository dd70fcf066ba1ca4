// orv-sim: the ORV server simulator as a program.
//
//   orv-sim [--port PORT] [--bind ADDR] [--accounts FILE] [--script FILE]
//
// Prints one JSON line per packet and event on standard output, runs the
// script's commands, then the commands read from standard input; after the
// end of input it keeps serving until SIGINT or SIGTERM.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "tools/orvsim/OrvSim.h"

namespace {

// Serialises whole lines on stdout between the simulator's worker and main.
std::mutex g_printLock;

void PrintLine(const std::string& line) {
  std::lock_guard<std::mutex> guard(g_printLock);
  ::fputs(line.c_str(), stdout);
  ::fputc('\n', stdout);
  ::fflush(stdout);
}

void PrintResult(const std::string& command, const std::string& result) {
  PrintLine("{\"event\":\"result\",\"command\":\"" + tessor::COrvSim::JsonEscape(command) + "\",\"result\":\"" +
            tessor::COrvSim::JsonEscape(result) + "\"}");
}

void Usage() {
  ::fputs("usage: orv-sim [--port PORT] [--bind ADDR] [--accounts FILE] [--script FILE]\n"
          "  --port PORT      port to listen on (default 5100; 0 picks a free one)\n"
          "  --bind ADDR      address to bind (default 127.0.0.1)\n"
          "  --accounts FILE  accounts table (see README.md); default: built-in accounts\n"
          "  --script FILE    commands run before those read from standard input\n",
          stderr);
}

// Many links need many descriptors: take what the hard limit allows.
void RaiseDescriptorLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
  }
}

// Waits up to ms for a termination signal; true when one came.
bool WaitSignal(int sigFd, int ms) {
  pollfd p{sigFd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, ms);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

// One command line; "sleep" waits here so that a signal still ends it.
// False when a termination signal arrived.
bool RunLine(tessor::COrvSim& sim, const std::string& line, int sigFd) {
  std::string trimmed = line;
  while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == ' ' || trimmed.back() == '\t'))
    trimmed.pop_back();
  size_t start = trimmed.find_first_not_of(" \t");
  if (start == std::string::npos || trimmed[start] == '#') return true;
  trimmed = trimmed.substr(start);
  if (trimmed.rfind("sleep", 0) == 0 && (trimmed.size() == 5 || trimmed[5] == ' ' || trimmed[5] == '\t')) {
    char* end = nullptr;
    long ms = ::strtol(trimmed.c_str() + 5, &end, 10);
    if (end == trimmed.c_str() + 5 || *end != '\0' || ms < 0 || ms > 3600000) {
      PrintResult(trimmed, "error: usage: sleep MS");
      return true;
    }
    if (WaitSignal(sigFd, static_cast<int>(ms))) return false;
    PrintResult(trimmed, "ok");
    return true;
  }
  PrintResult(trimmed, sim.Command(trimmed));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long port = 5100;
  std::string bindAddr = "127.0.0.1";
  std::string accountsPath;
  std::string scriptPath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--port" && hasValue) {
      char* end = nullptr;
      port = ::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) {
        ::fprintf(stderr, "orv-sim: bad port %s\n", argv[i]);
        return 2;
      }
    } else if (arg == "--bind" && hasValue) {
      bindAddr = argv[++i];
    } else if (arg == "--accounts" && hasValue) {
      accountsPath = argv[++i];
    } else if (arg == "--script" && hasValue) {
      scriptPath = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      Usage();
      return 2;
    }
  }

  RaiseDescriptorLimit();
  // The signals are taken through a descriptor; every thread started from
  // here on inherits the mask.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  const int sigFd = ::signalfd(-1, &mask, SFD_CLOEXEC);
  if (sigFd < 0) {
    ::perror("orv-sim: signalfd");
    return 1;
  }

  tessor::COrvSim sim;
  sim.SetOutput(PrintLine);
  if (!accountsPath.empty()) {
    std::string error;
    if (!sim.LoadAccounts(accountsPath, &error)) {
      ::fprintf(stderr, "orv-sim: %s\n", error.c_str());
      return 2;
    }
  }
  if (!sim.Start(static_cast<uint16_t>(port), bindAddr.c_str())) {
    ::fprintf(stderr, "orv-sim: cannot listen on %s:%ld: %s\n", bindAddr.c_str(), port, ::strerror(errno));
    return 1;
  }

  bool running = true;
  if (!scriptPath.empty()) {
    std::ifstream script(scriptPath);
    if (!script) {
      ::fprintf(stderr, "orv-sim: cannot open script %s\n", scriptPath.c_str());
    } else {
      std::string line;
      while (running && std::getline(script, line)) running = RunLine(sim, line, sigFd);
    }
  }

  // Standard input, then only the signals.
  bool stdinOpen = true;
  std::string pending;
  while (running) {
    pollfd fds[2] = {{sigFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int rc = ::poll(fds, stdinOpen ? 2 : 1, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (stdinOpen && fds[1].revents != 0) {
      char buf[4096];
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        stdinOpen = false;
        if (!pending.empty()) running = RunLine(sim, pending, sigFd);
        pending.clear();
        continue;
      }
      pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      while (running && (nl = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        running = RunLine(sim, line, sigFd);
      }
    }
  }
  sim.Stop();
  ::close(sigFd);
  return 0;
}
