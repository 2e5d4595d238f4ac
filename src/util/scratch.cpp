// The scratch folder, its error files and the run lock.
#include "util/scratch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/command.h"

namespace util {

namespace {

thread_local char error_line[64];
char error_text[2048];

// Cuts at the first line end that follows a character that is not one;
// line ends at the very start stay.
void cut_line_end(char* text) {
  char* rest = text + strspn(text, "\r\n");
  rest[strcspn(rest, "\r\n")] = '\0';
}

}  // namespace

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

const char* read_error_line(const char* path) {
  error_line[0] = '\0';
  FILE* file = fopen(path, "r");
  if (file == nullptr) return error_line;
  if (fgets(error_line, sizeof error_line, file) != nullptr) cut_line_end(error_line);
  fclose(file);
  return error_line;
}

const char* read_error_text(const char* path) {
  error_text[0] = '\0';
  FILE* file = fopen(path, "r");
  if (file == nullptr) return error_text;
  size_t length = 0;
  // Room for "; " and the terminator stays after every piece.
  while (length + 3 < sizeof error_text) {
    char* piece = error_text + length;
    if (fgets(piece, static_cast<int>(sizeof error_text - length - 2), file) == nullptr) break;
    bool whole = strchr(piece, '\n') != nullptr || feof(file);
    cut_line_end(error_text);
    length = strlen(error_text);
    memcpy(error_text + length, "; ", 3);
    length += 2;
    if (!whole) break;  // a line that did not fit whole ends the reading
  }
  fclose(file);
  return error_text;
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
