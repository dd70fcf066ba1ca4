// tessor-cli: the script host. Creates one control on the main thread (the
// host thread), activates it and drives it from a script, printing every
// result, event and message box as one line on standard output.
//
//   tessor-cli [--script FILE] [--sim PORT] [--sim-log] [--interactive]
//   tessor-cli --registration | --help
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <tessor/tessor.h>

#include "tools/cli/Output.h"
#include "tools/cli/ScriptHost.h"
#include "tools/cli/ScriptParser.h"
#include "tools/orvsim/OrvSim.h"

namespace {

const char USAGE[] =
    "usage: tessor-cli [--script FILE] [--sim PORT] [--sim-log] [--interactive]\n"
    "       tessor-cli --registration | --help\n"
    "  --script FILE  read the commands from FILE (default: standard input)\n"
    "  --sim PORT     run the ORV simulator on 127.0.0.1:PORT in this process before\n"
    "                 the script starts (0: any free port, see $SIMPORT)\n"
    "  --sim-log      print the simulator's packet lines, each prefixed with \"sim \"\n"
    "  --interactive  wait for Enter before each message box is closed with OK\n"
    "  --registration print the module's registration data and exit\n"
    "\n"
    "One command per line, UTF-8. Blanks separate words; \"a text\" may hold the\n"
    "escapes \\\" \\\\ \\n \\t; \"\" is the empty text; the bare word null is an absent\n"
    "text. Blank lines and lines starting with # are skipped.\n"
    "  Method ARG...        call a method by name, arguments in dispatch order;\n"
    "                       prints \"Method -> RESULT\" (1, TRUE, \"text\" or void)\n"
    "  get PROP             prints \"PROP = VALUE\"\n"
    "  set PROP VALUE       stores VALUE and prints \"PROP = VALUE\"\n"
    "  pump MS              run the host loop for MS milliseconds\n"
    "  wait EVENT [MS]      run the host loop until EVENT fires during this wait,\n"
    "                       at most MS (default 10000); prints \"timeout EVENT\"\n"
    "  wait msgbox [MS]     the same for the next message box\n"
    "  message NAME LPARAM  send WM_SET_CALLID ... WM_SET_TELNUMBER (or a number)\n"
    "                       from a second thread and wait until it was handled\n"
    "  sim COMMAND...       pass the rest of the line to the embedded simulator\n"
    "                       (rectype, status, alarm, callid, drop, reset, stall,\n"
    "                       unstall, stop, start, links, help); prints \"sim: ANSWER\"\n"
    "  quit                 destroy the control and exit (so does the end of input)\n"
    "Bare words replaced before a command runs:\n"
    "  $SIMPORT             the simulator's port as the I2 that ConnectToORV and\n"
    "                       ConnectToORV2 take (above 32767: port - 65536, whose\n"
    "                       low 16 bits are the port); useful with --sim 0\n"
    "  $CALLID              the control's CallID property at that moment\n"
    "Output lines: \"event NAME ARGS...\", \"msgbox \"CAPTION\" 0xSTYLE \"TEXT\"\",\n"
    "\"error: REASON\" for a line that cannot be run (the script goes on).\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "tessor-cli: %s\n%s", message.c_str(), USAGE);
  return 2;
}

// Lines from standard input. While none is complete the host loop runs, so
// that keep-alives, reconnection and events go on while an agent types.
class CStdinLines {
 public:
  explicit CStdinLines(tessor::cli::CScriptHost& host) : m_host(host) {}

  bool Next(std::string* pLine) {
    for (;;) {
      const size_t eol = m_strBuffer.find('\n');
      if (eol != std::string::npos) {
        *pLine = m_strBuffer.substr(0, eol);
        m_strBuffer.erase(0, eol + 1);
        return true;
      }
      if (m_bEof) {
        if (m_strBuffer.empty()) return false;
        pLine->swap(m_strBuffer);
        m_strBuffer.clear();
        return true;
      }
      m_host.PumpUntilReadable(STDIN_FILENO);
      char buf[4096];
      const ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
      if (n > 0) {
        m_strBuffer.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        m_bEof = true;
      }
    }
  }

 private:
  tessor::cli::CScriptHost& m_host;
  std::string m_strBuffer;
  bool m_bEof = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::string strScript;
  bool bScript = false;
  bool bSimLog = false;
  bool bInteractive = false;
  int nSimPort = -1;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* pOut) {
      if (i + 1 >= argc) return false;
      *pOut = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--script") {
      if (!value(&strScript)) return UsageError("--script needs a FILE");
      bScript = true;
    } else if (arg == "--sim") {
      int64_t port = 0;
      if (!value(&v) || tessor::cli::ParseInteger(v, 0, 65535, false, &port) != tessor::cli::EIntStatus::kOk)
        return UsageError("--sim needs a PORT from 0 to 65535");
      nSimPort = static_cast<int>(port);
    } else if (arg == "--sim-log") {
      bSimLog = true;
    } else if (arg == "--interactive") {
      bInteractive = true;
    } else if (arg == "--registration") {
      // What registration writes on Windows, as text: nothing is registered here.
      const char* info = tessor_registration_info();
      std::fputs(info != nullptr ? info : "", stdout);
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(USAGE, stdout);
      return 0;
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (bSimLog && nSimPort < 0) return UsageError("--sim-log needs --sim PORT");

  // Every output line is whole and reaches a pipe at once.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  std::ifstream file;
  if (bScript) {
    file.open(strScript, std::ios::in | std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "tessor-cli: cannot open %s: %s\n", strScript.c_str(), std::strerror(errno));
      return 2;
    }
  }

  tessor::cli::COutput output;
  std::unique_ptr<tessor::COrvSim> pSim;
  if (nSimPort >= 0) {
    pSim = std::make_unique<tessor::COrvSim>();
    if (bSimLog) pSim->SetOutput([&output](const std::string& json) { output.Line("sim " + json); });
    if (!pSim->Start(static_cast<uint16_t>(nSimPort))) {
      std::fprintf(stderr, "tessor-cli: the simulator cannot listen on 127.0.0.1:%d\n", nSimPort);
      return 2;
    }
  }

  // --interactive reads the Enter from the terminal; from standard input
  // only when the script does not come from there.
  const char* szTty = nullptr;
  if (bInteractive) {
    const int fd = ::open("/dev/tty", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      szTty = "/dev/tty";
    } else if (bScript) {
      szTty = "/dev/stdin";
    } else {
      std::fputs("tessor-cli: no terminal to read Enter from: boxes close at once\n", stderr);
    }
  }

  int rc = 0;
  {
    tessor::cli::CScriptHost host(output, pSim.get(), bInteractive, szTty);
    std::string error;
    if (!host.Open(&error)) {
      std::fprintf(stderr, "tessor-cli: %s\n", error.c_str());
      rc = 1;
    } else {
      std::string line;
      CStdinLines input(host);
      for (;;) {
        if (bScript) {
          if (!std::getline(file, line)) break;
        } else if (!input.Next(&line)) {
          break;
        }
        if (!host.RunLine(line)) break;
      }
      host.Close();
    }
  }
  if (pSim) pSim->Stop();
  return rc;
}
