#include "platform/Paths.h"

#include <stdlib.h>

namespace tessor::platform {

SLogFolders GetLogFolders() {
  SLogFolders f;
  const char* dir = ::getenv("TESSOR_LOG_DIR");
  if (dir != nullptr && *dir != '\0') {
    std::string folder(dir);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    size_t slash = folder.find_last_of('/');
    f.strParent = (slash == std::string::npos || slash == 0) ? std::string("/") : folder.substr(0, slash);
    f.strFolder = folder;
    return f;
  }
  const char* tmp = ::getenv("TMPDIR");
  std::string parent = (tmp != nullptr && *tmp != '\0') ? std::string(tmp) : std::string("/tmp");
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  f.strParent = parent;
  f.strFolder = parent + "/Tessor";
  return f;
}

}  // namespace tessor::platform
