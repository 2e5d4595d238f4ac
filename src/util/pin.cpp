// Pinned files and the descriptor budget.
#include "util/pin.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace util {

namespace {

constexpr rlim_t kMargin = 64;  // the program's own: folder, log, lock, pipes

}  // namespace

void Descriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

PinnedFile& PinnedFile::operator=(PinnedFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool PinnedFile::open(int dir_fd, const char* name, struct stat& st) {
  close();
  fd_ = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) return true;
  close();
  return false;
}

void PinnedFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

namespace {

void lease_broken(int) {}

// A writer that opens a file while its lease is held makes the kernel
// signal the holder with SIGIO, whose default action ends the process. A
// handler (not SIG_IGN, which children would inherit) keeps the run alive.
void survive_lease_breaks() {
  static bool ready = false;
  if (ready) return;
  struct sigaction action {};
  action.sa_handler = lease_broken;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ready = sigaction(SIGIO, &action, nullptr) == 0;
}

// A read lease is refused while any descriptor has the file open for
// writing. `keep` leaves the lease for the caller's close to give back,
// which spares a call a file where thousands are asked in turn.
Writers ask_for_lease(int fd, bool keep, int* error) {
  survive_lease_breaks();
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    if (!keep) fcntl(fd, F_SETLEASE, F_UNLCK);
    return Writers::kNone;
  }
  if (error != nullptr) *error = errno;
  return errno == EAGAIN ? Writers::kOpen : Writers::kUnknown;
}

}  // namespace

Writers writers_of(int fd, int* error) { return ask_for_lease(fd, false, error); }

Writers writers_of(int dir_fd, const char* name) {
  Descriptor file(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  return file.get() >= 0 ? ask_for_lease(file.get(), true, nullptr) : Writers::kUnknown;
}

size_t descriptor_budget() {
  static size_t budget = 0;
  if (budget != 0) return budget;
  struct rlimit limit;
  rlim_t usable = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    if (limit.rlim_cur < limit.rlim_max) {
      rlim_t soft = limit.rlim_cur;
      limit.rlim_cur = limit.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = soft;
    }
    usable = limit.rlim_cur;
  }
  budget = usable > kMargin + kMaxPinned ? kMaxPinned
           : usable > 2 * kMargin        ? static_cast<size_t>(usable - kMargin)
                                         : 1;
  return budget;
}

}  // namespace util
