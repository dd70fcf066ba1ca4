// Where the diagnostic log lives. The original drive folder maps to
// $TMPDIR (or /tmp); TESSOR_LOG_DIR replaces the whole folder.
#pragma once

#include <string>

namespace tessor::platform {

struct SLogFolders {
  std::string strParent;  // created first, failure ignored
  std::string strFolder;  // the folder that holds RECClient-MMDD.log
};

// Read from the environment on every call, so tests may change it.
SLogFolders GetLogFolders();

}  // namespace tessor::platform
