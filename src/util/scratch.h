// The scratch folder: creating it, tools' error text in it, the run lock.
#pragma once

#include "util/descriptor.h"
#include "util/findings.h"

namespace util {

constexpr const char* kScratchFolder = "/var/vastrel";
constexpr const char* kLockFile = "/var/vastrel/lock";

// What the scratch folder is, as a verdict finds it.
enum class ScratchFolder { kPresent, kMissing, kRefused };

// Decides on the scratch folder, which every redirection needs: refused
// when the name is not a folder, or when others than the program's user
// could change it or the way to it (root's 0755 is fine); missing when a
// run must make it. Adds
// what it finds to `findings`; changes nothing.
ScratchFolder scratch_folder_verdict(Findings& findings);

// A run's scratch folder: the verdict, then the folder made (mode 0700)
// when it is missing. False, with the refusal added to `findings`, when
// it cannot be used.
bool ready_scratch_folder(Findings& findings);

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
  // Takes the lock, once lock_verdict lets it; false when another run
  // holds it (logged at LOG_NOTICE) or the lock file cannot be opened or
  // locked (refused, added to `findings`). Stops what a killed run left
  // running (logged).
  bool take(const char* path, Findings& findings);
  // After a failed take: another run held the lock.
  bool busy() const { return busy_; }
  // The lock file, which names the process group of a running tool.
  int fd() const { return fd_.get(); }

 private:
  Descriptor fd_;
  bool busy_ = false;
};

// Decides whether the lock file at `path` can be taken: refused when the
// name is a folder. Changes nothing.
void lock_verdict(const char* path, Findings& findings);

}  // namespace util
