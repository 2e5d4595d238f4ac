// The one place that starts child processes.
#pragma once

#include <cstddef>
#include <vector>

#include "util/descriptor.h"
#include "util/findings.h"

namespace util {

// Every command line runs under it.
constexpr const char* kShell = "/bin/sh";

// An outside tool the program runs: a fixed path, or a name the shell finds
// on PATH, and what it does (as "vastrel check" lists it).
struct Tool {
  const char* path;
  const char* role;
};

// Check's look at a tool: where it is found, or a problem when it is not
// there or not executable.
void tool_verdict(const Tool& tool, Findings& findings);

constexpr int kMaxArgs = 62;

// How a child ended, decoded once from its wait status: it exited with a
// code, a signal ended it, or it never started (and why not).
class ChildResult {
 public:
  // A child that exited with `code`; also how a caller tells an outcome
  // that a child reported otherwise (curl's own report of a transfer).
  static ChildResult exited_with(int code) { return ChildResult(Kind::kExited, code); }
  // A child that `signal` ended.
  static ChildResult killed_by(int signal) { return ChildResult(Kind::kKilled, signal); }
  // No child ran: none could be created, its program could not be
  // executed, or its standard input could not be given (errno `error`).
  static ChildResult not_started(int error) { return ChildResult(Kind::kNotStarted, error); }

  // True when the child exited with code 0.
  bool ok() const { return exited(0); }
  // True when a child ran: it exited or a signal ended it.
  bool started() const { return kind_ != Kind::kNotStarted; }
  // True when the child exited with `code`.
  bool exited(int code) const { return kind_ == Kind::kExited && value_ == code; }
  // The child's exit code; -1 when it did not exit.
  int code() const { return kind_ == Kind::kExited ? value_ : -1; }
  // The signal that ended the child; 0 when none did.
  int signal() const { return kind_ == Kind::kKilled ? value_ : 0; }
  // Why no child ran (an errno value); 0 when one did.
  int error() const { return kind_ == Kind::kNotStarted ? value_ : 0; }

 private:
  enum class Kind { kExited, kKilled, kNotStarted };
  ChildResult(Kind kind, int value) : kind_(kind), value_(value) {}
  Kind kind_;
  int value_;
};

// One child to start: what it runs and what it gets besides. Owns the
// descriptors installed on its streams and closes them once the child has
// started (or failed to), so a ChildSpec serves one start and leaks nothing.
class ChildSpec {
 public:
  // Where one of the child's standard streams comes from.
  enum class Stream { kDevNull, kInherited, kInstalled };

  ChildSpec() = default;
  ChildSpec(const ChildSpec&) = delete;
  ChildSpec& operator=(const ChildSpec&) = delete;

  // The program and its arguments, null-terminated (at most kMaxArgs).
  const char* argv[kMaxArgs + 2] = {};
  // One "NAME=value" added to the child's environment only, so that a
  // secret reaches it without standing in any argument list.
  const char* env_extra = nullptr;
  // Borrowed: while >= 0, the child's process group is recorded in this
  // file for as long as it runs, so that a later run can stop what a
  // killed run left.
  int record_fd = -1;
  // Borrowed: descriptors the child gets as 3, 4, ... in this order, the
  // files it reads as /proc/self/fd/N (inherited_path). The caller keeps
  // and closes its own.
  std::vector<int> inherited;
  // Borrowed: the folder the child starts in, by descriptor (-1: the
  // program's own), as a name on a command line could be pointed
  // elsewhere meanwhile.
  int cwd_fd = -1;

  // Installs `fd` as the child's stream k (0, 1 or 2), owned by this ChildSpec
  // from now on; none (-1) puts /dev/null there, as for a stream never
  // set. Closes what was installed on stream k before.
  void set_stream(int k, Descriptor fd);
  // Leaves the child the program's own stream k; closes what was
  // installed there.
  void inherit_stream(int k);
  // Where the child's stream k comes from, and the descriptor installed
  // there (-1 unless kInstalled).
  Stream stream(int k) const;
  int stream_fd(int k) const { return streams_[k].get(); }

  // argv for one command line under the shell, with its flags ("-c", or
  // "-ce" to stop at the first failing command).
  void shell(const char* line, const char* flags = "-c");
  // Installs a pipe holding `text` as the child's standard input; false
  // (errno set, stream 0 unchanged) when no pipe could be made or the text
  // could block it.
  bool feed_stdin(const char* text);

 private:
  Descriptor streams_[3];
  bool inherit_[3] = {false, false, false};
};

// The descriptor the child gets as inherited[k], as a path the tool opens:
// "/proc/self/fd/N". /proc is there wherever the program runs (it reads it
// for the process-group record); /dev/fd is a link that devices may lack.
void inherited_path(char (&out)[32], size_t k);

// Starts the child `spec` describes, in a process group of its own with
// the stop signals at their default action, and waits for it (a stop the
// run receives meanwhile is passed on to that group); closes the streams
// installed in `spec` once the child has its copies, leaving /dev/null on
// all three. Returns how the child ended. Not started when no child could
// be created or its program could not be executed, logged once at LOG_ERR
// as "Cannot start PROGRAM(cause)"; also not started, unlogged, when its
// end could not be waited for (it is unknown), or (EINTR) when the run was
// asked to stop before: no child is started then.
ChildResult run_child(ChildSpec& spec);

// Makes TERM, HUP and INT (each not ignored when the run started) ask the
// run to stop: the signal is passed on to the running child's process
// group, stop_signal() tells it from then on, and run_child starts no
// further child. False (errno set) when a handler could not be installed;
// the signals handled until then stay so. Logs nothing.
bool catch_stop_signals();

// The stop signal the run received, 0 while none came. Changes nothing.
int stop_signal();

// Stops (SIGKILL) the process group recorded in `fd` by a run that was
// killed mid-transfer, if it still runs, and empties the record. Returns
// the group stopped, or 0.
int stop_recorded_children(int fd);

// run_child for `program` with the null-terminated argument list (at most
// kMaxArgs are passed), streams on /dev/null and nothing else.
ChildResult run_command(const char* program, ...);

// run_child for one command line under the shell with "-c", nothing else.
ChildResult run_shell(const char* line);

}  // namespace util
