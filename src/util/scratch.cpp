#include "util/scratch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

namespace util {

bool ensure_scratch_folder() {
  if (mkdir(kScratchFolder, 0700) == 0) return true;
  struct stat st;
  if (errno == EEXIST && stat(kScratchFolder, &st) == 0 && S_ISDIR(st.st_mode)) return true;
  if (errno == EEXIST) errno = ENOTDIR;
  syslog(LOG_ERR, "Cannot create scratch folder %s(%m)", kScratchFolder);
  return false;
}

void empty_file(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}

bool RunLock::take(const char* path) {
  fd_ = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    syslog(LOG_ERR, "Cannot open lock file %s(%m)", path);
    return false;
  }
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      syslog(LOG_NOTICE, "another upload run is in progress, this run ends without work");
    } else {
      syslog(LOG_ERR, "Cannot lock %s(%m)", path);
    }
    return false;
  }
  return true;
}

}  // namespace util
