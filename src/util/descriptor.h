// An open descriptor the program owns, closed when its holder goes.
#pragma once

namespace util {

// Owns an open descriptor, or none (-1). Moves hand the descriptor on;
// copies are refused, so one descriptor is closed exactly once.
class Descriptor {
 public:
  Descriptor() = default;
  // Takes `fd` (-1: none) to close from now on.
  explicit Descriptor(int fd) : fd_(fd) {}
  // Closes the descriptor held, if any.
  ~Descriptor() { reset(-1); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  // Closes the descriptor held, if any, and takes `other`'s.
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  // Closes the descriptor held, if any, and takes `fd` (-1: none). An error
  // of that close is not told: use close() where it matters.
  void reset(int fd);
  // The descriptor, or -1; still owned.
  int get() const { return fd_; }
  // Gives up the descriptor without closing it: returns it (-1 when none),
  // and holds none afterwards.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor now; false (errno set) when close reports an
  // error, as a written file whose data may be lost does. Holds none
  // afterwards either way; true when it held none.
  bool close();

 private:
  int fd_ = -1;
};

}  // namespace util
