#include "common/Log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "platform/Clock.h"
#include "platform/Paths.h"

namespace tessor {

namespace {
// Serialises whole lines. Never destroyed: receive threads may log while
// static objects go away at exit.
std::mutex& LogLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

uid_t OurUid() {
  static const uid_t uid = ::geteuid();
  return uid;
}

// A folder we may write into: a real directory (not a link) of our own.
bool FolderIsOurs(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == OurUid();
}
}  // namespace

void WriteLogV(const char* format, va_list args) {
  char message[LOG_BUFFER_SIZE];
  // A longer message is cut at 4095 characters.
  if (::vsnprintf(message, sizeof(message), format, args) < 0) message[0] = '\0';

  const platform::SLocalTime t = platform::GetLocalTime();  // one reading for line and file name
  char line[LOG_BUFFER_SIZE];
  ::snprintf(line, sizeof(line), "[%02d/%02d-%02d:%02d:%02d.%03d] %s", t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond,
             t.nMillisecond, message);

  // Text mode on the original platform: every line feed becomes CR LF.
  char out[2 * LOG_BUFFER_SIZE + 2];
  size_t n = 0;
  for (const char* p = line; *p != '\0'; ++p) {
    if (*p == '\n') out[n++] = '\r';
    out[n++] = *p;
  }
  out[n++] = '\r';
  out[n++] = '\n';

  // Built before the lock: only the file system steps are serialised.
  const platform::SLogFolders folders = platform::GetLogFolders();
  char path[4096 + 32];  // this call's own storage
  ::snprintf(path, sizeof(path), "%s/RECClient-%02d%02d.log", folders.strFolder.c_str(), t.nMonth, t.nDay);

  std::lock_guard<std::mutex> guard(LogLock());
  ::mkdir(folders.strParent.c_str(), 0700);  // failures (it exists) are ignored
  ::mkdir(folders.strFolder.c_str(), 0700);
  if (!FolderIsOurs(folders.strFolder.c_str())) return;
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != OurUid()) {
    ::close(fd);
    return;
  }
  if ((st.st_mode & 077) != 0) ::fchmod(fd, 0600);  // the lines carry customer data
  size_t off = 0;
  while (off < n) {
    ssize_t w = ::write(fd, out + off, n - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  ::close(fd);
}

void WriteLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogV(format, args);
  va_end(args);
}

void WriteLogText(TextId id) { WriteLog("%s", GetText(id)); }

void WriteLogText(TextId id, int n) { WriteLog("%s", FormatText(id, n).c_str()); }

std::string CurrentLogPath() {
  const platform::SLocalTime t = platform::GetLocalTime();
  const platform::SLogFolders folders = platform::GetLogFolders();
  char name[32];
  ::snprintf(name, sizeof(name), "/RECClient-%02d%02d.log", t.nMonth, t.nDay);
  return folders.strFolder + name;
}

}  // namespace tessor
