// The scratch folder, its error files and the run lock.
#include "util/scratch.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/command.h"
#include "util/trusted.h"

namespace util {

namespace {

constexpr const char* kScratchRefusal = "Cannot create scratch folder %s(%s)";
constexpr const char* kScratchWayRefusal =
    "Scratch folder %s can be changed by others than root, nothing is done";
constexpr const char* kCannotOpenLock = "Cannot open lock file %s(%s)";

// The fixed buffers of the error text readers: each hands out a pointer
// that stays valid until its next call, so they outlive the call.
thread_local char error_line[64];
char error_text[2048];

// Cuts at the first line end that follows a character that is not one;
// line ends at the very start stay.
void cut_line_end(char* text) {
  char* rest = text + strspn(text, "\r\n");
  rest[strcspn(rest, "\r\n")] = '\0';
}

}  // namespace

ScratchFolder scratch_folder_verdict(Findings& findings) {
  TrustedPath way;
  if (open_trusted(kScratchFolder, O_PATH | O_DIRECTORY, way)) {
    const struct passwd* owner = getpwuid(way.st.st_uid);
    findings.note("\nScratch folder %s: mode %04o, owner %s (%u)\n", kScratchFolder,
                  static_cast<unsigned>(way.st.st_mode & 07777),
                  owner != nullptr ? owner->pw_name : "?", static_cast<unsigned>(way.st.st_uid));
    // Every tool's redirection and the run lock go there by name.
    if (way.st.st_uid == geteuid() && (way.st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
      return ScratchFolder::kPresent;
    }
  }
  if (way.refused || way.fd.get() >= 0) {
    findings.refuse(kScratchWayRefusal, kScratchFolder);
    return ScratchFolder::kRefused;
  }
  if (way.error == ENOTDIR) {
    findings.refuse(kScratchRefusal, kScratchFolder, strerror(ENOTDIR));
    return ScratchFolder::kRefused;
  }
  if (way.error == ENOENT) {
    findings.note("\nScratch folder %s: missing; the first upload creates it with mode 0700\n",
                  kScratchFolder);
  } else {
    findings.note("\nScratch folder %s: cannot be read by this user (%s)\n", kScratchFolder,
                  strerror(way.error));
  }
  return ScratchFolder::kMissing;
}

bool ready_scratch_folder(Findings& findings) {
  switch (scratch_folder_verdict(findings)) {
    case ScratchFolder::kRefused: return false;
    case ScratchFolder::kPresent: return true;
    case ScratchFolder::kMissing: break;
  }
  if (mkdir(kScratchFolder, 0700) == 0 || errno == EEXIST) return true;
  findings.refuse(kScratchRefusal, kScratchFolder, strerror(errno));
  return false;
}

void empty_file(const char* path) {
  // Nothing to do when it cannot be opened: the tool's own redirection
  // then fails too, and the reading finds nothing.
  Descriptor emptied(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
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

void lock_verdict(const char* path, Findings& findings) {
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    findings.refuse(kCannotOpenLock, path, strerror(EISDIR));
  }
}

bool RunLock::take(const char* path, Findings& findings) {
  lock_verdict(path, findings);
  if (findings.refused()) return false;
  fd_.reset(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd() < 0) {
    findings.refuse(kCannotOpenLock, path, strerror(errno));
    return false;
  }
  while (flock(fd(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      busy_ = true;
      syslog(LOG_NOTICE, "another upload run is in progress, this run ends without work");
    } else {
      findings.refuse("Cannot lock %s(%s)", path, strerror(errno));
    }
    return false;
  }
  // A run killed mid-transfer leaves its tool running: stop it before this
  // run sends the same files to the same names.
  if (int group = stop_recorded_children(fd())) {
    syslog(LOG_ERR, "A transfer left running by a killed run was stopped (process group %d)",
           group);
  }
  return true;
}

}  // namespace util
