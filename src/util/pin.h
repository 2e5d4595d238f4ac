// A file of the scan folder held open by the program itself, so that what
// a tool reads and what is stamped or compared is the very file decided
// about: the folder is written by others, and a name can become something
// else between a look and a use.
#pragma once

#include <sys/stat.h>

#include <cstddef>

namespace util {

class PinnedFile {
 public:
  PinnedFile() = default;
  ~PinnedFile() { close(); }
  PinnedFile(PinnedFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  PinnedFile& operator=(PinnedFile&& other) noexcept;
  PinnedFile(const PinnedFile&) = delete;
  PinnedFile& operator=(const PinnedFile&) = delete;

  // Opens `name` in the folder read-only, without following a link,
  // blocking on a FIFO or taking a terminal; true when it is a regular file
  // (its status then in `st`), false (nothing held) otherwise.
  bool open(int dir_fd, const char* name, struct stat& st);
  int fd() const { return fd_; }
  void close();

 private:
  int fd_ = -1;
};

// How many files a child may be given at once: the soft descriptor limit,
// raised to the hard one, less a margin for the program's own, and at most
// kMaxPinned, which bounds the kernel memory of a large backlog.
constexpr size_t kMaxPinned = 4096;
size_t descriptor_budget();

}  // namespace util
