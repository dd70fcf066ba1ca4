// Whole lines on standard output from several threads: the host thread
// (results, events), receive threads (message boxes) and the simulator's
// worker (its packet log). One lock keeps every line whole and in order.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace tessor::cli {

class COutput {
 public:
  void Line(const std::string& text) {
    std::string line = text;
    line += '\n';
    std::lock_guard<std::mutex> guard(m_lock);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

 private:
  std::mutex m_lock;
};

}  // namespace tessor::cli
