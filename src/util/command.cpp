#include "util/command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

extern char** environ;

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

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))

// Spawning without copying the parent's page tables saves about a fifth of
// the cost of every child, and the upload runs one child per file.
class FileActions {
 public:
  FileActions() : ok_(posix_spawn_file_actions_init(&actions_) == 0) {}
  ~FileActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  // Streams from the slots or /dev/null; nothing else open from 3 on.
  bool build() {
    for (int k = 0; ok_ && k < 3; ++k) {
      int slot = child_stdio_slots[k];
      if (slot == k) continue;
      ok_ = slot >= 0 ? posix_spawn_file_actions_adddup2(&actions_, slot, k) == 0
                      : posix_spawn_file_actions_addopen(&actions_, k, "/dev/null", O_RDWR, 0) == 0;
    }
    return ok_ && posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_;
};

// The child's pid; 0 with `status` set when it could not be started (read
// as a child that exited with code 1, as after a failed exec); -1 when no
// child could be created.
pid_t start_child(char* const* argv, int& status) {
  FileActions actions;
  if (!actions.build()) return -1;
  pid_t pid = -1;
  int error = posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv, environ);
  if (error == 0) return pid;
  if (error == EAGAIN || error == ENOMEM) return -1;
  status = 1 << 8;
  return 0;
}

#else  // C libraries without closefrom for spawned children

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

pid_t start_child(char* const* argv, int&) {
  pid_t pid = fork();
  if (pid == 0) child_exec(argv);
  return pid;
}

#endif

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

  int status = 0;
  pid_t pid = start_child(const_cast<char* const*>(argv), status);
  reset_child_stdio();
  if (pid < 0) return -1;
  return pid == 0 ? status : wait_for(pid);
}

}  // namespace util
