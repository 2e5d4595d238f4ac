// The one place that starts child processes.
#pragma once

#include <cstddef>
#include <vector>

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

// The wait status of a child that exited with `code`: how a failure that
// never reached a child, or one a child reported otherwise, is told.
constexpr int exit_status(int code) { return (code & 0xff) << 8; }

constexpr int kMaxArgs = 62;

// One child to start: what it runs and what it gets besides. Owns the
// descriptors put in its stream slots and closes them when it goes, so a
// spec serves one start and leaks nothing.
class ChildSpec {
 public:
  ChildSpec() = default;
  ~ChildSpec();
  ChildSpec(const ChildSpec&) = delete;
  ChildSpec& operator=(const ChildSpec&) = delete;

  // The program and its arguments, null-terminated (at most kMaxArgs).
  const char* argv[kMaxArgs + 2] = {};
  // The child's stdin, stdout and stderr: -1 puts /dev/null there, k on
  // stream k leaves it inherited, a descriptor above 2 is installed (and
  // owned by this ChildSpec from then on).
  int child_stdio_slots[3] = {-1, -1, -1};
  // One "NAME=value" added to the child's environment only, so that a
  // secret reaches it without standing in any argument list.
  const char* env_extra = nullptr;
  // While >= 0, the child's process group is recorded in this file for as
  // long as it runs, so that a later run can stop what a killed run left.
  int record_fd = -1;
  // Descriptors the child gets as 3, 4, ... in this order: the files it
  // reads as /proc/self/fd/N (inherited_path). The caller keeps its own.
  std::vector<int> inherited;
  // The folder the child starts in, by descriptor (-1: the program's own):
  // a name on a command line could be pointed elsewhere meanwhile.
  int cwd_fd = -1;

  // argv for one command line under the shell, with its flags ("-c", or
  // "-ce" to stop at the first failing command).
  void shell(const char* line, const char* flags = "-c");
  // Puts `text` on the child's standard input through a pipe; false (errno
  // set) when no pipe could be made or the text could block it.
  bool feed_stdin(const char* text);
};

// The descriptor the child gets as inherited[k], as a path the tool opens:
// "/proc/self/fd/N". /proc is there wherever the program runs (it reads it
// for the process-group record); /dev/fd is a link that devices may lack.
void inherited_path(char (&out)[32], size_t k);

// Starts the child `spec` describes, in a process group of its own, and
// waits for it. Returns the raw wait status (0 is success), or -1 when no
// child could be created or the wait failed.
int run_child(ChildSpec& spec);

// Stops (SIGKILL) the process group recorded in `fd` by a run that was
// killed mid-transfer, if it still runs, and empties the record. Returns
// the group stopped, or 0.
int stop_recorded_children(int fd);

// run_child for `program` with the null-terminated argument list (at most
// kMaxArgs are passed), streams on /dev/null and nothing else.
int run_command(const char* program, ...);

// run_child for one command line under the shell with "-c", nothing else.
int run_shell(const char* line);

}  // namespace util
