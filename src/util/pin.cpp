// Pinned files and the descriptor budget.
#include "util/pin.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/scandir.h"

namespace util {

namespace {

constexpr rlim_t kMargin = 64;  // the program's own: folder, log, lock, pipes

void lease_broken(int) {}

// A read lease is refused while any descriptor has the file open for
// writing. `keep` leaves the lease for the caller's close to give back,
// which spares a call a file where thousands are asked in turn.
Writers ask_for_lease(int fd, bool keep, int* error) {
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    if (!keep) fcntl(fd, F_SETLEASE, F_UNLCK);
    return Writers::kNone;
  }
  if (error != nullptr) *error = errno;
  return errno == EAGAIN ? Writers::kOpen : Writers::kUnknown;
}

// Opens `path` read-only through the program's own descriptor `fd` (the
// very file, whatever its name leads to now); -1 (errno set) when it
// cannot.
int reopen_read_only(int fd) {
  char held[32];
  int length = snprintf(held, sizeof held, "/proc/self/fd/%d", fd);
  if (fd < 0 || length < 0 || static_cast<size_t>(length) >= sizeof held) {
    errno = EBADF;
    return -1;
  }
  return ::open(held, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// A fresh file of the program's own in `dir_fd`, open for writing and
// without a name: O_TMPFILE, else a unique name unlinked at once.
Descriptor own_unnamed_file(int dir_fd) {
  Descriptor file(openat(dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.get() >= 0) return file;
  char name[32];
  file = temporary_in(dir_fd, ".vastrel-lease.", name);
  if (file.get() >= 0 && unlinkat(dir_fd, name, 0) != 0) file.reset(-1);
  return file;
}

// Whether the fdinfo text of a descriptor says it was opened for writing.
bool opened_for_writing(const char* info) {
  const char* flags = strstr(info, "flags:");
  if (flags == nullptr) return false;
  char* end = nullptr;
  unsigned long bits = strtoul(flags + 6, &end, 8);
  return end != flags + 6 && (bits & O_ACCMODE) != O_RDONLY;
}

// Adds the regular files that process `pid` (a name in /proc) holds open
// for writing; false when its descriptors cannot be read.
bool add_written_files(int proc_fd, const char* pid, WriterProbe& probe) {
  char path[64];
  int length = snprintf(path, sizeof path, "%s/fdinfo", pid);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return false;
  Descriptor infos(openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (infos.get() < 0) return errno == ENOENT;  // it ended meanwhile
  path[length - 4] = '\0';                      // "PID/fd"
  Descriptor fds(openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fds.get() < 0) return errno == ENOENT;
  Dir listing;
  if (!listing.adopt(Descriptor(dup(infos.get())))) return false;
  while (struct dirent* entry = readdir(listing.get())) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    Descriptor info(openat(infos.get(), entry->d_name, O_RDONLY | O_CLOEXEC));
    char text[256];
    ssize_t got = info.get() >= 0 ? read(info.get(), text, sizeof text - 1) : -1;
    if (got <= 0) continue;  // closed meanwhile
    text[got] = '\0';
    struct stat st;
    if (opened_for_writing(text) && fstatat(fds.get(), entry->d_name, &st, 0) == 0 &&
        S_ISREG(st.st_mode)) {
      probe.written.emplace_back(st.st_dev, st.st_ino);
    }
  }
  return true;
}

Writers seen(const WriterProbe& probe, const struct stat& st) {
  return std::binary_search(probe.written.begin(), probe.written.end(),
                            std::make_pair(st.st_dev, st.st_ino))
             ? Writers::kOpen
             : Writers::kNone;
}

}  // namespace

bool random_name(char* out, size_t size, const char* prefix, size_t bytes) {
  unsigned char r[16];
  if (bytes > sizeof r) {
    errno = EINVAL;
    return false;
  }
  ssize_t got = getrandom(r, bytes, 0);
  if (got < 0 && errno == ENOSYS) {  // a kernel older than getrandom
    Descriptor source(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    got = source.get() < 0 ? -1 : read(source.get(), r, bytes);
  }
  if (got != static_cast<ssize_t>(bytes)) {
    if (got >= 0) errno = EIO;
    return false;
  }
  int length = snprintf(out, size, "%s", prefix);
  for (size_t k = 0; k < bytes && length >= 0 && static_cast<size_t>(length) < size; ++k) {
    length += snprintf(out + length, size - static_cast<size_t>(length), "%02x", r[k]);
  }
  if (length >= 0 && static_cast<size_t>(length) < size) return true;
  errno = ENAMETOOLONG;
  return false;
}

Descriptor temporary_in(int dir_fd, const char* prefix, char (&name)[32]) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!random_name(name, sizeof name, prefix, 6)) return Descriptor();
    Descriptor fd(openat(dir_fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return Descriptor();
}

bool PinnedFile::look(int dir_fd, const char* name, struct stat& st) {
  fd_.reset(openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (fd() >= 0 && fstat(fd(), &st) == 0) {
    if (S_ISREG(st.st_mode)) return true;
    errno = S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
  }
  int error = errno;
  close();
  errno = error;
  return false;
}

bool PinnedFile::open_looked() {
  fd_.reset(reopen_read_only(fd()));
  return fd() >= 0;
}

Writers writers_of(int fd, int* error) { return ask_for_lease(fd, false, error); }

bool leases_granted(int dir_fd, int& error) {
  Descriptor own = own_unnamed_file(dir_fd);
  // Asked on a read-only reopen once the writing descriptor is closed: the
  // program's own writer would refuse the lease as any other does.
  Descriptor reader(own.get() >= 0 ? reopen_read_only(own.get()) : -1);
  error = errno;
  own.reset(-1);
  if (reader.get() < 0) return false;
  return ask_for_lease(reader.get(), false, &error) == Writers::kNone;
}

void look_for_writers(WriterProbe& probe) {
  probe.looked = true;
  Descriptor proc_fd(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Dir procs;
  if (proc_fd.get() < 0 || !procs.adopt(Descriptor(dup(proc_fd.get())))) {
    probe.blind = true;
    return;
  }
  while (struct dirent* entry = readdir(procs.get())) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;  // processes only
    if (!add_written_files(proc_fd.get(), entry->d_name, probe)) ++probe.unseen;
  }
  std::sort(probe.written.begin(), probe.written.end());
  probe.written.erase(std::unique(probe.written.begin(), probe.written.end()),
                      probe.written.end());
}

Writers writers_of(const WriterProbe& probe, int fd) {
  if (probe.leases == WriterProbe::Leases::kGranted) return writers_of(fd);
  struct stat st;
  return fstat(fd, &st) == 0 ? seen(probe, st) : Writers::kOpen;
}

Writers writers_of(const WriterProbe& probe, int dir_fd, const char* name) {
  if (probe.leases != WriterProbe::Leases::kGranted) return seen_writing(probe, dir_fd, name);
  PinnedFile file;
  struct stat st;
  if (file.open(dir_fd, name, st)) return ask_for_lease(file.fd(), true, nullptr);
  return errno == ENOENT || errno == ELOOP || errno == EINVAL ? Writers::kUnknown : Writers::kOpen;
}

Writers seen_writing(const WriterProbe& probe, int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? Writers::kUnknown : Writers::kOpen;
  }
  return S_ISREG(st.st_mode) ? seen(probe, st) : Writers::kUnknown;
}

void survive_lease_breaks() {
  struct sigaction action {};
  action.sa_handler = lease_broken;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGIO, &action, nullptr);
}

void raise_descriptor_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

size_t descriptor_budget() {
  struct rlimit limit;
  rlim_t usable = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
  return usable > kMargin + kMaxPinned ? kMaxPinned
         : usable > 2 * kMargin        ? static_cast<size_t>(usable - kMargin)
                                       : 1;
}

}  // namespace util
