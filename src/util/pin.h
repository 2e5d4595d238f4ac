// A file of the scan folder held open by the program itself, so that what
// a tool reads and what is stamped or compared is the very file decided
// about: the folder is written by others, and a name can become something
// else between a look and a use.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "util/descriptor.h"

namespace util {

class PinnedFile {
 public:
  // Holds `name` in the folder by path only (O_PATH, never through a link),
  // which opens nothing for reading: a device node, FIFO or socket swapped
  // in is never opened. True when it is a regular file (its status then in
  // `st`), false (nothing held) otherwise, errno then ELOOP for a link,
  // EINVAL for another kind of file, else why it could not be held.
  bool look(int dir_fd, const char* name, struct stat& st);
  // Opens what look() holds read-only through its descriptor, without
  // blocking or taking a terminal, in its place; false (nothing held) when
  // it cannot.
  bool open_looked();
  // Both: the regular file `name`, open for reading; its status in `st`.
  bool open(int dir_fd, const char* name, struct stat& st) {
    return look(dir_fd, name, st) && open_looked();
  }
  int fd() const { return fd_.get(); }
  void close() { fd_.reset(-1); }

 private:
  Descriptor fd_;
};

// Writes `prefix` and `bytes` random bytes (at most 16) in hex into `out`
// of `size`: from getrandom, or /dev/urandom where the kernel predates it.
// False (errno set) when no random bytes can be had or it would not fit.
// Changes nothing else, logs nothing.
bool random_name(char* out, size_t size, const char* prefix, size_t bytes);

// A new file named `prefix` and twelve random hex digits in the folder
// `dir_fd` (into `name`), open for reading and writing, as mkostemp makes
// one by path; none (errno set) when it cannot be made or the name would
// not fit. Logs nothing.
Descriptor temporary_in(int dir_fd, const char* prefix, char (&name)[32]);

// Whether any process holds a file open for writing, asked of an open
// read-only descriptor: Linux refuses a read lease (EAGAIN) while one does.
// The lease is released at once, since a writer that opens the file while
// it is held waits until then. kUnknown where no lease can be had: a file
// system without leases, a user without CAP_LEASE on another's file
// (`error` then says which).
enum class Writers { kNone, kOpen, kUnknown };
Writers writers_of(int fd, int* error = nullptr);

// How a run tells a file open for writing, decided once a run (the run's
// settings::Session holds it) so that every probe of the run asks the same
// way. Two ways, each blind somewhere:
// - a read lease on each file sees every opener the kernel knows, at the
//   moment it is asked; but NFSv4 refuses it (EAGAIN, as for a writer)
//   without a delegation and CIFS without an oplock, so it is trusted only
//   on a file system that grants one on a file nobody writes;
// - one look a run at the descriptors of the processes in /proc works on
//   any file system and costs nothing a file; but it misses processes in
//   other PID namespaces and those it may not inspect (another user's,
//   when not run as root), and a writer that opens the file after it.
struct WriterProbe {
  enum class Leases { kUndecided, kGranted, kRefused };
  Leases leases = Leases::kUndecided;
  int lease_error = 0;  // why the lease on the program's own file was refused
  bool looked = false;  // `written` holds what /proc showed
  bool blind = false;   // /proc could not be listed: the look saw nothing
  unsigned unseen = 0;  // processes whose descriptors could not be read
  std::vector<std::pair<dev_t, ino_t>> written;  // open for writing, sorted
};

// Whether leases tell anything on the file system of the open folder
// `dir_fd`: asks a read lease on a file of the program's own there, which
// has no writer (an unnamed O_TMPFILE, else a unique name unlinked at
// once). False, with `error` set, where the lease is refused for any
// reason or no such file can be made. Leaves no file, logs nothing.
bool leases_granted(int dir_fd, int& error);

// Fills `probe.written` once, from /proc/*/fdinfo, with the regular files
// that the processes it can see hold open for writing; counts in `unseen`
// those whose descriptors cannot be read, sets `blind` where /proc cannot
// be listed. Logs nothing.
void look_for_writers(WriterProbe& probe);

// The probe's answer for the open file `fd`: by lease where the probe
// trusts leases, else by the look (kNone for a file it did not see).
// Changes nothing.
Writers writers_of(const WriterProbe& probe, int fd);

// The same for `name` in the folder `dir_fd`, which the lease way opens
// as PinnedFile::open does: kUnknown when it is gone (ENOENT) or no regular
// file (a link among them); kOpen when it cannot be opened or looked at for
// another reason, since a writer's lease can be what refuses the open.
Writers writers_of(const WriterProbe& probe, int dir_fd, const char* name);

// The look's answer alone for `name` in `dir_fd`, whatever the leases: as
// writers_of, asked of its device and inode (fstatat, no open). Changes
// nothing.
Writers seen_writing(const WriterProbe& probe, int dir_fd, const char* name);

// Installs, once a process, a handler for the signal that a writer's open
// sends the holder of a lease (its default action ends the process); a
// handler, not SIG_IGN, which children would inherit. Logs nothing.
void survive_lease_breaks();

// Raises the soft descriptor limit to the hard one; a run does it once,
// before it pins files. Logs nothing; on failure the limit stays.
void raise_descriptor_limit();

// How many files a child may be given at once: the soft descriptor limit
// less a margin for the program's own, and at most kMaxPinned, which
// bounds the kernel memory of a large backlog. Changes nothing.
constexpr size_t kMaxPinned = 4096;
size_t descriptor_budget();

}  // namespace util
