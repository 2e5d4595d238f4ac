// The scratch folder: creating it, tools' error text in it, the run lock.
#pragma once

#include "util/descriptor.h"
#include "util/findings.h"

namespace util {

constexpr const char* kScratchFolder = "/var/vastrel";
constexpr const char* kLockFile = "/var/vastrel/lock";

// The scratch folder, which every redirection needs: a run creates it
// (mode 0700) when it is missing; check only says what it finds. A folder
// that is not one, or cannot be made, is refused.
void scratch_folder_verdict(Findings& findings);

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
  // Takes the lock; false when another run holds it (logged at LOG_NOTICE)
  // or the lock file cannot be opened or locked (refused). Check takes
  // nothing: it says only what is sure to refuse a run.
  bool take(const char* path, Findings& findings);
  // After a failed take: another run held the lock.
  bool busy() const { return busy_; }
  // The lock file, which names the process group of a running tool.
  int fd() const { return fd_.get(); }

 private:
  Descriptor fd_;
  bool busy_ = false;
};

}  // namespace util
