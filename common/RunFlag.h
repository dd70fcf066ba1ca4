// The module-wide run flag. Set at module start and by ConnectToORV,
// cleared at module end, by DisconnectFromORV and by a forced log-out
// alarm; every receive loop tests it. Written and read on different
// threads, hence atomic (sequentially consistent: a change is seen at the
// next test).
#pragma once

#include <atomic>

namespace tessor {
extern std::atomic<bool> g_bRun;
}  // namespace tessor
