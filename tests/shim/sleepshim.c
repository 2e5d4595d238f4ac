/* Preloaded into the program under test: records every sleep instead of
 * sleeping, and can pin the clock, so tests never wait out real time.
 * SHIM_SLEEP_LOG names the file that receives one line per sleep (seconds);
 * SHIM_NOW pins time() to that many seconds since the epoch; SHIM_NO_LEASES=1
 * refuses every F_SETLEASE with EAGAIN, as an NFSv4 client without a
 * delegation does; SHIM_DT_UNKNOWN=1 makes every listed entry's type unknown
 * (DT_UNKNOWN), as file systems that do not give it in the listing do. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char log_path[4096];
static long long pinned_now = -1;
static int types_unknown;

__attribute__((constructor)) static void shim_init(void) {
  const char *path = getenv("SHIM_SLEEP_LOG");
  const char *now = getenv("SHIM_NOW");
  if (path != NULL) snprintf(log_path, sizeof log_path, "%s", path);
  if (now != NULL && *now != '\0') pinned_now = atoll(now);
  const char *unknown = getenv("SHIM_DT_UNKNOWN");
  types_unknown = unknown != NULL && strcmp(unknown, "1") == 0;
  /* Children (sh, curl) must not inherit the shim: under emulation they
   * are native binaries of another ELF class. */
  unsetenv("LD_PRELOAD");
}

static void record(long long sec, long nsec) {
  if (log_path[0] == '\0') return;
  int fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[64];
  int n = snprintf(line, sizeof line, "%lld.%09ld\n", sec, nsec);
  if (write(fd, line, (size_t)n) < 0) { /* nothing to do in a test shim */ }
  close(fd);
}

unsigned int sleep(unsigned int seconds) {
  record(seconds, 0);
  return 0;
}

int usleep(useconds_t usec) {
  record(usec / 1000000, (long)(usec % 1000000) * 1000);
  return 0;
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
  record((long long)req->tv_sec, req->tv_nsec);
  if (rem != NULL) memset(rem, 0, sizeof *rem);
  return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem) {
  (void)clock;
  (void)flags;
  return nanosleep(req, rem);
}

time_t time(time_t *out) {
  struct timespec ts;
  time_t now = pinned_now >= 0 ? (time_t)pinned_now : (clock_gettime(CLOCK_REALTIME, &ts), ts.tv_sec);
  if (out != NULL) *out = now;
  return now;
}

/* fcntl is variadic: its third argument is an int or a pointer per command,
 * passed on as a long either way. Both names, by their symbols (the header
 * renames fcntl to fcntl64 under 64-bit offsets): a 32-bit build calls
 * fcntl64, or __fcntl_time64 with 64-bit times. */
static int leasing_fcntl(const char *real_name, int fd, int cmd, long arg) {
  static int refuse = -1;
  if (refuse < 0) {
    const char *no = getenv("SHIM_NO_LEASES");
    refuse = no != NULL && strcmp(no, "1") == 0;
  }
  if (refuse && cmd == F_SETLEASE && arg != F_UNLCK) {
    errno = EAGAIN;
    return -1;
  }
  int (*real)(int, int, ...) = (int (*)(int, int, ...))dlsym(RTLD_NEXT, real_name);
  return real(fd, cmd, arg);
}

int shim_fcntl(int fd, int cmd, ...) __asm__("fcntl");
int shim_fcntl(int fd, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  long arg = va_arg(args, long);
  va_end(args);
  return leasing_fcntl("fcntl", fd, cmd, arg);
}

int shim_fcntl64(int fd, int cmd, ...) __asm__("fcntl64");
int shim_fcntl64(int fd, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  long arg = va_arg(args, long);
  va_end(args);
  return leasing_fcntl("fcntl64", fd, cmd, arg);
}

/* 32-bit builds with 64-bit times call this one. */
int shim_fcntl_time64(int fd, int cmd, ...) __asm__("__fcntl_time64");
int shim_fcntl_time64(int fd, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  long arg = va_arg(args, long);
  va_end(args);
  return leasing_fcntl("__fcntl_time64", fd, cmd, arg);
}

/* The entry as readdir without 64-bit offsets returns it (the same layout
 * as readdir64's on 64-bit machines). The wrappers carry their symbol names
 * explicitly: with _FILE_OFFSET_BITS=64 the header renames readdir. */
struct shim_dirent {
  unsigned long d_ino;
  long d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[256];
};

struct shim_dirent *shim_readdir(DIR *dir) __asm__("readdir");
struct dirent64 *shim_readdir64(DIR *dir) __asm__("readdir64");

struct shim_dirent *shim_readdir(DIR *dir) {
  static struct shim_dirent *(*next)(DIR *);
  if (next == NULL) next = (struct shim_dirent * (*)(DIR *)) dlsym(RTLD_NEXT, "readdir");
  struct shim_dirent *entry = next(dir);
  if (entry != NULL && types_unknown) entry->d_type = DT_UNKNOWN;
  return entry;
}

struct dirent64 *shim_readdir64(DIR *dir) {
  static struct dirent64 *(*next)(DIR *);
  if (next == NULL) next = (struct dirent64 * (*)(DIR *)) dlsym(RTLD_NEXT, "readdir64");
  struct dirent64 *entry = next(dir);
  if (entry != NULL && types_unknown) entry->d_type = DT_UNKNOWN;
  return entry;
}
