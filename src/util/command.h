// The one place that starts child processes.
#pragma once

namespace util {

// Descriptors for the next child's stdin, stdout and stderr: -1 puts
// /dev/null there, k on stream k leaves it inherited. Reset after each start.
extern thread_local int child_stdio_slots[3];

// Runs `program` with the null-terminated argument list and waits for it.
// Returns the raw wait status (0 is success), or -1 when no child could be
// created or the wait failed. At most 62 arguments are passed.
int run_command(const char* program, ...);

}  // namespace util
