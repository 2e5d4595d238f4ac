// Starting a child, with only the streams and environment it is given.
#include "util/command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

extern char** environ;

namespace util {

namespace {

constexpr int kFirstInherited = 3;

// A signal handler reaches nothing a run passes down, so the stop it asks
// for and the group it forwards it to are the process's own: written whole
// (sig_atomic_t) by the handler and by the run alike.
volatile sig_atomic_t stop_asked = 0;     // the stop signal received, 0 while none was
volatile sig_atomic_t running_group = 0;  // the running child's process group, 0 when none
sigset_t caught;                          // the stop signals handled; set before any child
constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};

// Async-signal-safe only: notes the stop and passes it on to the tool, whose
// end then ends the run's wait by itself.
void on_stop(int signal) {
  int saved = errno;
  stop_asked = signal;
  pid_t group = running_group;
  if (group > 0) kill(-group, signal);
  errno = saved;
}

// Holds the stop signals blocked while a child starts, so that a stop is
// either seen before the start or forwarded once the child's group is
// known; the mask from before is the child's.
class StopSignalsHeld {
 public:
  StopSignalsHeld() : held_(sigprocmask(SIG_BLOCK, &caught, &before_) == 0) {
    if (!held_) sigemptyset(&before_);
  }
  ~StopSignalsHeld() { release(); }
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;
  // Delivers what came meanwhile.
  void release() {
    if (held_) sigprocmask(SIG_SETMASK, &before_, nullptr);
    held_ = false;
  }
  const sigset_t& before() const { return before_; }

 private:
  sigset_t before_;
  bool held_;
};

// Waits until the child has ended, leaving it unreaped (its end is read by
// wait_for): while its number stays taken, a stop forwarded late reaches its
// own group's processes and never a new process's.
void wait_ended(pid_t pid) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

// The environment for a child: the program's own, with its one extra entry
// in place of any entry of the same name.
std::vector<char*> child_environment(const ChildSpec& spec) {
  std::vector<char*> env;
  const char* extra = spec.env_extra;
  size_t name_length = extra != nullptr ? strcspn(extra, "=") + 1 : 0;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (extra == nullptr || strncmp(*entry, extra, name_length) != 0) env.push_back(*entry);
  }
  if (extra != nullptr) env.push_back(const_cast<char*>(extra));
  env.push_back(nullptr);
  return env;
}

// A process's start time (clock ticks since boot) and process group, from
// /proc: with the boot id they tell a recorded child from a later process
// that got the same number.
bool process_start(pid_t pid, unsigned long long& start, long& group) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* file = fopen(path, "re");
  if (file == nullptr) return false;
  char text[1024];
  size_t length = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[length] = '\0';
  // The command name may hold blanks and parentheses: fields follow the last ")".
  const char* fields = strrchr(text, ')');
  return fields != nullptr &&
         sscanf(fields,
                ") %*c %*d %ld %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d "
                "%*d %*d %llu",
                &group, &start) == 2;
}

// The boot's id, "unknown" where it cannot be read: read for each record,
// one small read beside a child's start.
struct BootId {
  char text[40];
};
BootId boot_id() {
  BootId id{};
  FILE* file = fopen("/proc/sys/kernel/random/boot_id", "re");
  if (file == nullptr || fscanf(file, "%39s", id.text) != 1) {
    snprintf(id.text, sizeof id.text, "unknown");
  }
  if (file != nullptr) fclose(file);
  return id;
}

void record_child(int record_fd, pid_t pid) {
  if (record_fd < 0 || pid <= 0) return;
  unsigned long long start = 0;
  long group = 0;
  if (!process_start(pid, start, group)) return;
  char text[128];
  int length =
      snprintf(text, sizeof text, "%d %llu %s\n", static_cast<int>(pid), start, boot_id().text);
  // Without a record, a killed run's child only runs on to its own end,
  // which the transfer bounds keep finite.
  if (ftruncate(record_fd, 0) == 0) {
    ssize_t written = pwrite(record_fd, text, static_cast<size_t>(length), 0);
    static_cast<void>(written);
  }
}

void clear_child_record(int record_fd) {
  if (record_fd < 0) return;
  int result = ftruncate(record_fd, 0);
  static_cast<void>(result);
}

// How the child ended, from its wait status (the one place that reads
// one); not started (errno) when the wait failed, as its end is unknown.
// Without WUNTRACED a wait reports only children that ended.
ChildResult wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return ChildResult::not_started(errno);
  }
  if (WIFEXITED(status)) return ChildResult::exited_with(WEXITSTATUS(status));
  return ChildResult::killed_by(WTERMSIG(status));
}

#if !defined(VASTREL_FORK_SPAWN) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))

// Spawning without copying the parent's page tables saves about a fifth of
// the cost of every child, and the upload runs one child per file.
class SpawnAttributes {
 public:
  // A process group of its own, the stop signals at their default action
  // and the signal mask `mask`.
  explicit SpawnAttributes(const sigset_t& mask)
      : error_(posix_spawnattr_init(&attributes_)), ready_(error_ == 0) {
    if (error_ == 0) error_ = posix_spawnattr_setpgroup(&attributes_, 0);
    if (error_ == 0) error_ = posix_spawnattr_setsigdefault(&attributes_, &caught);
    if (error_ == 0) error_ = posix_spawnattr_setsigmask(&attributes_, &mask);
    if (error_ == 0) {
      error_ = posix_spawnattr_setflags(
          &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
  }
  ~SpawnAttributes() {
    if (ready_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  // 0, or the errno value of the step that failed.
  int error() const { return error_; }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  int error_;
  bool ready_;
};

class FileActions {
 public:
  FileActions() : error_(posix_spawn_file_actions_init(&actions_)), ready_(error_ == 0) {}
  ~FileActions() {
    if (ready_) posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  // The starting folder; the streams as the ChildSpec gives them; the inherited
  // descriptors from 3 on; nothing else open. Returns 0, or the errno value
  // of the action that could not be added.
  int build(const ChildSpec& spec, const std::vector<int>& inherited) {
    if (error_ == 0 && spec.cwd_fd >= 0)
      error_ = posix_spawn_file_actions_addfchdir_np(&actions_, spec.cwd_fd);
    for (int k = 0; error_ == 0 && k < 3; ++k) {
      ChildSpec::Stream from = spec.stream(k);
      if (from == ChildSpec::Stream::kInstalled) {
        error_ = posix_spawn_file_actions_adddup2(&actions_, spec.stream_fd(k), k);
      } else if (from == ChildSpec::Stream::kDevNull) {
        error_ = posix_spawn_file_actions_addopen(&actions_, k, "/dev/null", O_RDWR, 0);
      }
    }
    int next = kFirstInherited;
    for (size_t k = 0; error_ == 0 && k < inherited.size(); ++k) {
      error_ = posix_spawn_file_actions_adddup2(&actions_, inherited[k], next++);
    }
    if (error_ == 0) error_ = posix_spawn_file_actions_addclosefrom_np(&actions_, next);
    return error_;
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  int error_;
  bool ready_;
};

// The child's pid, with the signal mask `mask`; -1 (`error` set to the
// errno value) when no child could be created or its program could not be
// executed, which the spawn reports itself.
pid_t start_child(const ChildSpec& spec, const std::vector<int>& inherited, const sigset_t& mask,
                  int& error) {
  FileActions actions;
  SpawnAttributes attributes(mask);
  error = actions.build(spec, inherited);
  if (error == 0) error = attributes.error();
  std::vector<char*> env = child_environment(spec);
  char* const* argv = const_cast<char* const*>(spec.argv);
  pid_t pid = -1;
  if (error == 0)
    error = posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv, env.data());
  return error == 0 ? pid : -1;
}

#else  // C libraries without closefrom for spawned children

void close_descriptors_from(int first) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0) return;
#endif
  for (int fd = getdtablesize() - 1; fd >= first; --fd) close(fd);
}

// Tells the parent, through `report`, why the child cannot run its
// program (errno), and ends the child; exit code 1 if even that fails.
[[noreturn]] void fail_start(int report) {
  int error = errno;
  ssize_t written = write(report, &error, sizeof error);
  static_cast<void>(written);  // unread, the parent sees exit code 1
  _exit(1);
}

// What the spawn gives a child: a process group of its own, the stop
// signals at their default action and the signal mask `mask`, the streams
// as the ChildSpec gives them, nothing else open but `report`, a close-on-exec
// pipe above the inherited descriptors. A stream that cannot be set fails
// the start as a failed exec does, never leaving it closed for the tool's
// first open file to take.
[[noreturn]] void child_exec(const ChildSpec& spec, const std::vector<int>& inherited,
                             const sigset_t& mask, char* const* env, int report) {
  // The stop signals are blocked here: none reaches the run's handler,
  // which is the parent's alone, before the default is back.
  for (int stop : kStopSignals) {
    if (sigismember(&caught, stop) == 1 && signal(stop, SIG_DFL) == SIG_ERR) fail_start(report);
  }
  if (sigprocmask(SIG_SETMASK, &mask, nullptr) != 0) fail_start(report);
  setpgid(0, 0);
  if (spec.cwd_fd >= 0 && fchdir(spec.cwd_fd) != 0) fail_start(report);
  int devnull = open("/dev/null", O_RDWR);
  // Keep /dev/null clear of streams 0-2, which are about to be replaced.
  if (devnull >= 0 && devnull <= 2) devnull = fcntl(devnull, F_DUPFD, 3);
  for (int k = 0; k < 3; ++k) {
    ChildSpec::Stream from = spec.stream(k);
    if (from == ChildSpec::Stream::kInherited) continue;
    int fd = from == ChildSpec::Stream::kInstalled ? spec.stream_fd(k) : devnull;
    if (fd < 0 || dup2(fd, k) != k) fail_start(report);
  }
  int next = kFirstInherited;
  for (int fd : inherited) {
    if (dup2(fd, next) != next) fail_start(report);
    ++next;
  }
  // The report pipe sits at or above `next`: keep it just there.
  if (report != next && dup3(report, next, O_CLOEXEC) != next) fail_start(report);
  close_descriptors_from(next + 1);
  char* const* argv = const_cast<char* const*>(spec.argv);
  execvpe(argv[0], argv, env);
  fail_start(next);
}

// The errno value a child reported through `fd` before it ended without
// running its program; 0 when the pipe closed unwritten at its exec.
int reported_error(int fd) {
  int error = 0;
  ssize_t length = 0;
  do {
    length = read(fd, &error, sizeof error);
  } while (length < 0 && errno == EINTR);
  return length == static_cast<ssize_t>(sizeof error) ? error : 0;
}

// A close-on-exec pipe whose writing end is numbered `above` or higher;
// false (`error` set to the errno value) when none could be made.
bool report_pipe(int above, Descriptor& reader, Descriptor& writer, int& error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = errno;
    return false;
  }
  reader.reset(fds[0]);
  Descriptor first(fds[1]);
  writer.reset(fcntl(fds[1], F_DUPFD_CLOEXEC, above));
  error = errno;
  return writer.get() >= 0;
}

// The child's pid, with the signal mask `mask`; -1 (`error` set to the
// errno value) when no child could be created or its program could not be
// executed, which the child tells through a pipe that its exec closes.
pid_t start_child(const ChildSpec& spec, const std::vector<int>& inherited, const sigset_t& mask,
                  int& error) {
  std::vector<char*> env = child_environment(spec);
  Descriptor reader;
  Descriptor writer;
  // Above the descriptors the child puts in place, so none replaces it.
  int above = kFirstInherited + static_cast<int>(inherited.size());
  if (!report_pipe(above, reader, writer, error)) return -1;
  pid_t pid = fork();
  if (pid == 0) child_exec(spec, inherited, mask, env.data(), writer.get());
  if (pid < 0) {
    error = errno;
    return -1;
  }
  // Set from both sides, so the group exists before the parent records or
  // stops it; once the child has run its exec this fails, harmlessly.
  static_cast<void>(setpgid(pid, pid));
  writer.reset(-1);  // the child's copy alone keeps the pipe open
  error = reported_error(reader.get());
  if (error == 0) return pid;
  static_cast<void>(wait_for(pid));  // reaps it
  return -1;
}

#endif

// The inherited descriptors as the child's start takes them. They are put
// in place in order, the k-th on 3 + k after the streams: one numbered
// below its own place would be overwritten before its turn, and one on it
// would keep its close-on-exec flag (dup2 onto itself does nothing), so
// such are moved above them all first. Owns what it moved.
class Inherited {
 public:
  // Moves what must be moved; error() tells why one could not be.
  explicit Inherited(const std::vector<int>& fds) : fds_(fds) {
    int above = kFirstInherited + static_cast<int>(fds_.size());
    for (size_t k = 0; k < fds_.size() && error_ == 0; ++k) {
      int& fd = fds_[k];
      if (fd > kFirstInherited + static_cast<int>(k)) continue;
      fd = fcntl(fd, F_DUPFD_CLOEXEC, above);
      if (fd < 0) error_ = errno;
      if (fd >= 0) moved_.emplace_back(fd);
    }
  }
  // 0, or the errno value of the move that failed.
  int error() const { return error_; }
  const std::vector<int>& fds() const { return fds_; }

 private:
  std::vector<int> fds_;
  std::vector<Descriptor> moved_;
  int error_ = 0;
};

// A child that could not be started, logged with the cause, `error`.
ChildResult cannot_start(const char* program, int error) {
  errno = error;
  syslog(LOG_ERR, "Cannot start %s(%m)", program);
  return ChildResult::not_started(error);
}

}  // namespace

void ChildSpec::set_stream(int k, Descriptor fd) {
  streams_[k] = std::move(fd);
  inherit_[k] = false;
}

void ChildSpec::inherit_stream(int k) {
  streams_[k].reset(-1);
  inherit_[k] = true;
}

ChildSpec::Stream ChildSpec::stream(int k) const {
  if (inherit_[k]) return Stream::kInherited;
  return streams_[k].get() >= 0 ? Stream::kInstalled : Stream::kDevNull;
}

void ChildSpec::shell(const char* line, const char* flags) {
  argv[0] = kShell;
  argv[1] = flags;
  argv[2] = line;
  argv[3] = nullptr;
}

void inherited_path(char (&out)[32], size_t k) {
  snprintf(out, sizeof out, "/proc/self/fd/%zu", kFirstInherited + k);
}

ChildResult run_child(ChildSpec& spec) {
  Inherited inherited(spec.inherited);
  int error = inherited.error();
  StopSignalsHeld held;
  bool stopping = stop_asked != 0;
  pid_t pid =
      error == 0 && !stopping ? start_child(spec, inherited.fds(), held.before(), error) : -1;
  // The child has its copies: the streams are closed at once, as a pipe's
  // writer must see its reader's end as the child's alone.
  for (int k = 0; k < 3; ++k) spec.set_stream(k, Descriptor());
  if (stopping) return ChildResult::not_started(EINTR);
  if (pid < 0) return cannot_start(spec.argv[0], error);
  running_group = pid;
  held.release();  // a stop that came meanwhile reaches the child now
  record_child(spec.record_fd, pid);
  wait_ended(pid);
  running_group = 0;
  ChildResult result = wait_for(pid);
  clear_child_record(spec.record_fd);
  return result;
}

bool catch_stop_signals() {
  sigemptyset(&caught);
  struct sigaction action {};
  action.sa_handler = on_stop;
  // The handler forwards the stop, so the child ends and the wait returns
  // by itself: no other call of the run needs to see an interruption.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int stop : kStopSignals) {
    struct sigaction before {};
    if (sigaction(stop, nullptr, &before) != 0) return false;
    // One ignored by whoever started the run (nohup's HUP) stays ignored,
    // for its tools too.
    if (before.sa_handler == SIG_IGN) continue;
    if (sigaddset(&caught, stop) != 0 || sigaction(stop, &action, nullptr) != 0) return false;
  }
  return true;
}

int stop_signal() { return stop_asked; }

void tool_verdict(const Tool& tool, Findings& findings) {
  char found[4096];
  const char* path = tool.path;
  if (strchr(tool.path, '/') == nullptr) {
    const char* search = getenv("PATH");
    path = nullptr;
    for (const char* dir = search != nullptr ? search : "/usr/bin:/bin"; *dir != '\0';) {
      size_t length = strcspn(dir, ":");
      int written =
          snprintf(found, sizeof found, "%.*s/%s", static_cast<int>(length), dir, tool.path);
      // A candidate that does not fit is passed over, never checked cut.
      if (length > 0 && written > 0 && static_cast<size_t>(written) < sizeof found &&
          access(found, X_OK) == 0) {
        path = found;
        break;
      }
      dir += length + (dir[length] == ':');
    }
  }
  const char* name = strrchr(tool.path, '/') != nullptr ? strrchr(tool.path, '/') + 1 : tool.path;
  if (path != nullptr && access(path, X_OK) == 0) {
    findings.note("  %-8s %s (%s)\n", name, path, tool.role);
    return;
  }
  findings.note("  %-8s not found or not executable (%s)\n", name, tool.role);
  findings.problem("missing tool: %s", tool.path);
}

ChildResult run_command(const char* program, ...) {
  ChildSpec spec;
  spec.argv[0] = program;
  va_list args;
  va_start(args, program);
  int count = 1;
  while (count <= kMaxArgs) {
    const char* arg = va_arg(args, const char*);
    if (arg == nullptr) break;
    spec.argv[count++] = arg;
  }
  va_end(args);
  spec.argv[count] = nullptr;
  return run_child(spec);
}

ChildResult run_shell(const char* line) {
  ChildSpec spec;
  spec.shell(line);
  return run_child(spec);
}

bool ChildSpec::feed_stdin(const char* text) {
  size_t length = strlen(text);
  // Written before the child starts: it must fit the smallest pipe buffer.
  if (length > PIPE_BUF) {
    errno = E2BIG;
    return false;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  Descriptor reader(fds[0]);
  // Closed before the child starts, so that it reads the text to its end.
  Descriptor writer(fds[1]);
  if (write(writer.get(), text, length) != static_cast<ssize_t>(length)) return false;
  set_stream(0, std::move(reader));
  return true;
}

int stop_recorded_children(int fd) {
  char text[128];
  ssize_t length = pread(fd, text, sizeof text - 1, 0);
  if (length <= 0) return 0;
  text[length] = '\0';
  int group = 0;
  unsigned long long recorded_start = 0;
  char recorded_boot[40];
  unsigned long long start = 0;
  long current_group = 0;
  bool same = sscanf(text, "%d %llu %39s", &group, &recorded_start, recorded_boot) == 3 &&
              group > 1 && strcmp(recorded_boot, boot_id().text) == 0 &&
              process_start(group, start, current_group) && start == recorded_start &&
              current_group == group;
  if (ftruncate(fd, 0) != 0) return 0;
  if (!same || kill(-group, SIGKILL) != 0) return 0;
  return group;
}

}  // namespace util
