#include "common/RunFlag.h"

namespace tessor {
std::atomic<bool> g_bRun{false};
}  // namespace tessor
