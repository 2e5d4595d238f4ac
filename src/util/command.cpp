#include "util/command.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace util {

thread_local int child_stdio_slots[3] = {-1, -1, -1};

namespace {

constexpr int kMaxArgs = 62;

void reset_child_stdio() {
  for (int& slot : child_stdio_slots) {
    if (slot > 2) close(slot);
  }
  for (int& slot : child_stdio_slots) slot = -1;
}

void close_descriptors_from_3() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  for (int fd = getdtablesize() - 1; fd >= 3; --fd) close(fd);
}

[[noreturn]] void child_exec(char* const* argv) {
  int devnull = open("/dev/null", O_RDWR);
  // Keep /dev/null clear of streams 0-2, which are about to be replaced.
  if (devnull >= 0 && devnull <= 2) devnull = fcntl(devnull, F_DUPFD, 3);
  for (int k = 0; k < 3; ++k) {
    int slot = child_stdio_slots[k];
    if (slot == k) continue;
    close(k);
    if (slot >= 0) {
      dup2(slot, k);
    } else if (devnull >= 0) {
      dup2(devnull, k);
    }
  }
  close_descriptors_from_3();
  execvp(argv[0], argv);
  _exit(1);
}

int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

int run_command(const char* program, ...) {
  const char* argv[kMaxArgs + 2] = {program};
  va_list args;
  va_start(args, program);
  int count = 1;
  while (count <= kMaxArgs) {
    const char* arg = va_arg(args, const char*);
    if (arg == nullptr) break;
    argv[count++] = arg;
  }
  va_end(args);
  argv[count] = nullptr;

  pid_t pid = fork();
  if (pid == 0) child_exec(const_cast<char* const*>(argv));
  reset_child_stdio();
  if (pid < 0) return -1;
  return wait_for(pid);
}

}  // namespace util
