// A file of the scan folder held open by the program itself, so that what
// a tool reads and what is stamped or compared is the very file decided
// about: the folder is written by others, and a name can become something
// else between a look and a use.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "util/descriptor.h"

namespace util {

class PinnedFile {
 public:
  // Holds `name` in the folder by path only (O_PATH, never through a link),
  // which opens nothing for reading: a device node, FIFO or socket swapped
  // in is never opened. True when it is a regular file (its status then in
  // `st`), false (nothing held) otherwise.
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

// Whether any process holds a file open for writing, asked of an open
// read-only descriptor: Linux refuses a read lease (EAGAIN) while one does.
// The lease is released at once, since a writer that opens the file while
// it is held waits until then. kUnknown where no lease can be had: a file
// system without leases, a user without CAP_LEASE on another's file
// (`error` then says which).
enum class Writers { kNone, kOpen, kUnknown };
Writers writers_of(int fd, int* error = nullptr);
// The same for a name in a folder, opened as PinnedFile::open does;
// kUnknown when it is no regular file or cannot be opened.
Writers writers_of(int dir_fd, const char* name);

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
