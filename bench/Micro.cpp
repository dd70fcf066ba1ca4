// tessor-bench-micro: Google Benchmark cases for the pieces without I/O
// waits (packet layout, framing from bytes, the decoder's table) and the log
// writer beside its direct system calls. For a developer's quick look; the
// reported figures come from tessor-bench.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "common/Log.h"
#include "link/ByteSource.h"
#include "link/Framing.h"
#include "link/Protocol.h"

namespace tessor::bench {
namespace {

void BM_BuildMarkInfo(benchmark::State& state) {
  uint8_t buf[SIZE_MARK_INFO];
  char szTime[W_TIME];
  FormatMarkTime(szTime);
  for (auto _ : state) {
    BuildMarkInfo(buf, "2001", "20240305-0001", "A100", "T1", szTime);
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_BuildMarkInfo);

void BM_BuildExtendInfo(benchmark::State& state) {
  uint8_t buf[SIZE_EXTEND_INFO];
  for (auto _ : state) {
    BuildExtendInfo(buf, "2001", "20240305-0001", "name", "C1", "01012345678", "i1", "i2", "i3", "i4", "i5", "A100",
                    "T1");
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_BuildExtendInfo);

// Bytes alone, as the tests and fuzzers feed the framing: one packet, read
// whole, again and again.
class CRepeatSource : public IByteSource {
 public:
  explicit CRepeatSource(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
  bool IsConnected() const override { return true; }
  int WaitReadable(int) override { return 0; }
  int Receive(char* buf, int size) override {
    const size_t left = m_n - m_off;
    const size_t n = std::min(left, static_cast<size_t>(size));
    ::memcpy(buf, m_p + m_off, n);
    m_off = (m_off + n) % m_n;
    return static_cast<int>(n);
  }
  void Close() override {}

 private:
  const uint8_t* m_p;
  size_t m_n;
  size_t m_off = 0;
};

void BM_ReceivePassFromBytes(benchmark::State& state) {
  uint8_t pkt[240];
  BuildCallIdResponse(pkt, "20240305-0001");
  CRepeatSource source(pkt, sizeof(pkt));
  static uint8_t header[HEADER_LENGTH];
  static uint8_t body[MAX_PACKET_LENGTH];
  for (auto _ : state) {
    std::unique_ptr<PACKET_BUFFER> out;
    const char* failure = "";
    benchmark::DoNotOptimize(ReceivePass(source, 0, header, body, &out, &failure));
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_ReceivePassFromBytes);

void BM_WriteLog(benchmark::State& state) {
  for (auto _ : state) WriteLog("SendMarkInfo : Tenant(%s), DN(%s), ID(%s), CALLID(%s)", "T1", "2001", "A100", "x");
}
BENCHMARK(BM_WriteLog);

void BM_DirectLogLine(benchmark::State& state) {
  // A sibling of the bench folder: as many path parts as the log writer's.
  std::string root = ::getenv("TESSOR_LOG_DIR");
  root.resize(root.rfind('/'));
  const std::string parent = root + "-direct", folder = parent + "/log", path = folder + "/RECClient-0101.log";
  const std::string line(93, 'x');
  for (auto _ : state) {
    ::mkdir(parent.c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
      ::close(fd);
    }
  }
  ::unlink(path.c_str());
  ::rmdir(folder.c_str());
  ::rmdir(parent.c_str());
}
BENCHMARK(BM_DirectLogLine);

}  // namespace
}  // namespace tessor::bench

int main(int argc, char** argv) {
  tessor::bench::CLogFolder folder;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
