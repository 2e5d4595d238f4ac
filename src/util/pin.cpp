// Pinned files and the descriptor budget.
#include "util/pin.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace util {

namespace {

constexpr rlim_t kMargin = 64;  // the program's own: folder, log, lock, pipes

void lease_broken(int) {}

// A read lease is refused while any descriptor has the file open for
// writing. `keep` leaves the lease for the caller's close to give back,
// which spares a call a file where thousands are asked in turn.
Writers ask_for_lease(int fd, bool keep, int* error) {
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    if (!keep) fcntl(fd, F_SETLEASE, F_UNLCK);
    return Writers::kNone;
  }
  if (error != nullptr) *error = errno;
  return errno == EAGAIN ? Writers::kOpen : Writers::kUnknown;
}

}  // namespace

bool PinnedFile::look(int dir_fd, const char* name, struct stat& st) {
  fd_.reset(openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (fd() >= 0 && fstat(fd(), &st) == 0 && S_ISREG(st.st_mode)) return true;
  close();
  return false;
}

bool PinnedFile::open_looked() {
  // Through /proc: the very file held, not whatever its name leads to now.
  char held[32];
  int length = snprintf(held, sizeof held, "/proc/self/fd/%d", fd());
  if (fd() < 0 || length < 0 || static_cast<size_t>(length) >= sizeof held) {
    close();
    return false;
  }
  fd_.reset(::open(held, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  return fd() >= 0;
}

Writers writers_of(int fd, int* error) { return ask_for_lease(fd, false, error); }

Writers writers_of(int dir_fd, const char* name) {
  PinnedFile file;
  struct stat st;
  return file.open(dir_fd, name, st) ? ask_for_lease(file.fd(), true, nullptr) : Writers::kUnknown;
}

void survive_lease_breaks() {
  struct sigaction action {};
  action.sa_handler = lease_broken;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGIO, &action, nullptr);
}

void raise_descriptor_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

size_t descriptor_budget() {
  struct rlimit limit;
  rlim_t usable = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
  return usable > kMargin + kMaxPinned ? kMaxPinned
         : usable > 2 * kMargin        ? static_cast<size_t>(usable - kMargin)
                                       : 1;
}

}  // namespace util
