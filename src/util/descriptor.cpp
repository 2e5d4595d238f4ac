// Closing owned descriptors.
#include "util/descriptor.h"

#include <unistd.h>

namespace util {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void Descriptor::reset(int fd) {
  // The descriptor is gone after close whatever it returns (EINTR too, on
  // Linux), and what it had read or written is the holder's to check.
  if (fd_ >= 0) static_cast<void>(::close(fd_));
  fd_ = fd;
}

bool Descriptor::close() {
  int fd = release();
  return fd < 0 || ::close(fd) == 0;
}

}  // namespace util
