// Opening a path along a way that only root can change: the program runs
// as root, and a user who owns a folder on the way could swap a name in it
// for a link and redirect what root reads, writes or deletes.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "util/descriptor.h"

namespace util {

constexpr size_t kTrustedPathSize = 4096;
// Links followed in one walk at most: a loop of links ends here.
constexpr int kMaxLinks = 40;

// What a walk ended with.
struct TrustedPath {
  Descriptor fd;   // the last component, opened with the flags asked
  struct stat st;  // its status, when opened
  // Someone other than root could change the way: a link in a folder that
  // others can write, or a link after such a folder.
  bool refused = false;
  char through[kTrustedPathSize];  // that folder's full path, as walked
  unsigned uid = 0;                // its owner, who can change it
  int error = 0;                   // errno of a walk that failed otherwise
};

// True when someone other than root (and the program's own user) can
// change the folder of status `st`: it is another user's, or its group or
// others may write it (a sticky /tmp too).
// Its owner is the one named, also for group or others: the simplest user
// to tell, and the one who set the mode.
bool others_can_change(const struct stat& st);

// Opens the absolute `path` one component at a time from "/", never
// following a link that anyone but root could have placed: a link is
// followed only when the folder holding it is root's and only root can
// write it, and no folder before it could be changed by others. Plain
// folders after such a folder are fine: the program acts through the
// descriptor, so a later swap redirects nothing. "." and empty components
// are passed by; ".." (in the path or a link, as in a /var -> ../data/var
// link of a read-only image) steps up only while no folder passed could
// be changed by others, and is refused after one. A relative path is not
// walked (EINVAL). The last component must be a folder or a regular file
// and is opened with `flags` (O_NOFOLLOW and O_CLOEXEC added). True when
// it is open in `out`; false with out.refused and the folder named, or
// with out.error. Changes nothing, logs nothing.
bool open_trusted(const char* path, int flags, TrustedPath& out);

}  // namespace util
