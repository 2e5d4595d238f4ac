// The scratch folder: creating it, tools' error text in it, the run lock.
#pragma once

namespace util {

constexpr const char* kScratchFolder = "/var/vastrel";
constexpr const char* kLockFile = "/var/vastrel/lock";

// Creates the scratch folder (mode 0700) when it is missing; every
// redirection into it fails otherwise. Logs and returns false on failure.
bool ensure_scratch_folder();

// Empties a scratch file so that it cannot carry an earlier tool's text.
void empty_file(const char* path);

// A tool's error text, read back from the scratch file it went to.
// The first line, at most 63 characters, line end removed.
// Per-thread buffer, overwritten by the next call.
const char* read_error_line(const char* path);

// Every line of the file, each followed by "; ", at most 2047 characters.
// Process-wide buffer, overwritten by the next call.
const char* read_error_text(const char* path);

// Holds the exclusive upload lock for as long as it lives.
class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  // False when another run holds the lock (logged at LOG_NOTICE) or the
  // lock file cannot be opened (logged at LOG_ERR).
  bool take(const char* path);
  // After a failed take: another run held the lock.
  bool busy() const { return busy_; }

 private:
  int fd_ = -1;
  bool busy_ = false;
};

}  // namespace util
