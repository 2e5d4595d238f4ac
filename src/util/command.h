// The one place that starts child processes.
#pragma once

namespace util {

// Every command line runs under it.
constexpr const char* kShell = "/bin/sh";

// An outside tool the program runs: a fixed path, or a name the shell finds
// on PATH, and what it does (as "vastrel check" lists it).
struct Tool {
  const char* path;
  const char* role;
};

// The wait status of a child that exited with `code`: how a failure that
// never reached a child, or one a child reported otherwise, is told.
constexpr int exit_status(int code) { return (code & 0xff) << 8; }

// Descriptors for the next child's stdin, stdout and stderr: -1 puts
// /dev/null there, k on stream k leaves it inherited. Reset after each start.
extern thread_local int child_stdio_slots[3];

// One "NAME=value" added to the next child's environment only, so that a
// secret reaches it without standing in any argument list. Reset after each
// start.
extern thread_local const char* child_env_extra;

// While >= 0, each child's process group is recorded in this file for as
// long as the child runs, so that a later run can stop what a killed run
// left behind.
extern int child_record_fd;

// Puts `text` on the next child's standard input through a pipe; false
// (errno set) when no pipe could be made or the text could block it.
bool feed_child_stdin(const char* text);

// Stops (SIGKILL) the process group recorded in `fd` by a run that was
// killed mid-transfer, if it still runs, and empties the record. Returns
// the group stopped, or 0.
int stop_recorded_children(int fd);

// Runs `program` with the null-terminated argument list and waits for it.
// The child leads a process group of its own.
// Returns the raw wait status (0 is success), or -1 when no child could be
// created or the wait failed. At most 62 arguments are passed.
int run_command(const char* program, ...);

// run_command for one command line under the shell, with its flags ("-c",
// or "-ce" to stop at the first failing command).
int run_shell(const char* line, const char* flags = "-c");

}  // namespace util
