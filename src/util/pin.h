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
  // Opens `name` in the folder read-only, without following a link,
  // blocking on a FIFO or taking a terminal; true when it is a regular file
  // (its status then in `st`), false (nothing held) otherwise.
  bool open(int dir_fd, const char* name, struct stat& st);
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
// The same for a name in a folder, opened read-only without following a
// link or blocking; kUnknown when it cannot be opened.
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
