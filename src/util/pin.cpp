// Pinned files and the descriptor budget.
#include "util/pin.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace util {

namespace {

constexpr rlim_t kMargin = 64;  // the program's own: folder, log, lock, pipes

}  // namespace

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
