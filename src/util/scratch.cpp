#include "util/scratch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

#include "util/command.h"

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
  if (fd_ < 0) return;
  if (child_record_fd == fd_) child_record_fd = -1;
  close(fd_);
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
      busy_ = true;
      syslog(LOG_NOTICE, "another upload run is in progress, this run ends without work");
    } else {
      syslog(LOG_ERR, "Cannot lock %s(%m)", path);
    }
    return false;
  }
  // A run killed mid-transfer leaves its tool running: stop it before this
  // run sends the same files to the same names.
  if (int group = stop_recorded_children(fd_)) {
    syslog(LOG_ERR, "A transfer left running by a killed run was stopped (process group %d)",
           group);
  }
  child_record_fd = fd_;
  return true;
}

}  // namespace util
