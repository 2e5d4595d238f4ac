// Walking a path one component at a time, trusting only root's folders.
#include "util/trusted.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace util {

namespace {

// The walk so far: the folder reached, what is left, what was passed.
struct Walk {
  Descriptor folder;  // O_PATH
  struct stat folder_st;
  char shown[kTrustedPathSize];  // the folder's full path as walked; "" for "/"
  char rest[kTrustedPathSize];   // the components still to walk
  const char* next;              // into rest
  bool tainted = false;          // a folder others can change was passed
  char taint[kTrustedPathSize];
  unsigned taint_uid = 0;
  int links = 0;
};

bool failed(TrustedPath& out, int error) {
  out.error = error;
  return false;
}

// Copies a walked folder's path, "" meaning "/"; every such buffer has
// the same size, so the copy always fits.
void copy_shown(char (&out)[kTrustedPathSize], const char* shown) {
  const char* text = shown[0] != '\0' ? shown : "/";
  memcpy(out, text, strlen(text) + 1);
}

bool refused(TrustedPath& out, const char* through, unsigned uid) {
  copy_shown(out.through, through);
  out.uid = uid;
  out.refused = true;
  return false;
}

// The process's root, through /proc/self/root rather than by the name "/":
// an emulator that maps absolute names into a sysroot (qemu-user's -L)
// would otherwise start every walk there. "/" where /proc is missing.
bool enter_root(Walk& w) {
  w.folder.reset(open("/proc/self/root", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (w.folder.get() < 0) w.folder.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  w.shown[0] = '\0';
  return w.folder.get() >= 0 && fstat(w.folder.get(), &w.folder_st) == 0;
}

// Notes a folder that others can change, the first one only.
void passed(Walk& w) {
  if (w.tainted || !others_can_change(w.folder_st)) return;
  w.tainted = true;
  copy_shown(w.taint, w.shown);
  w.taint_uid = static_cast<unsigned>(w.folder_st.st_uid);
}

// The next component into `name`, passing by empty ones and "."; false at
// the end. An over-long name sets `error`.
bool next_component(const char*& p, char (&name)[NAME_MAX + 1], int& error) {
  for (;;) {
    p += strspn(p, "/");
    size_t length = strcspn(p, "/");
    if (length == 0) return false;
    const char* start = p;
    p += length;
    if (length == 1 && start[0] == '.') continue;
    if (length > NAME_MAX) error = ENAMETOOLONG;
    if (error != 0) return false;
    memcpy(name, start, length);
    name[length] = '\0';
    return true;
  }
}

bool is_last(const char* p) {
  char name[NAME_MAX + 1];
  int error = 0;
  return !next_component(p, name, error) && error == 0;
}

// Joins `a`, "/" and `b` into `out`; false when it would not fit.
bool joined(char (&out)[kTrustedPathSize], const char* a, const char* b) {
  size_t la = strlen(a);
  size_t lb = strlen(b);
  if (la + 1 + lb >= sizeof out) return false;
  char copy[kTrustedPathSize];
  memcpy(copy, b, lb + 1);  // b may live in out
  memmove(out, a, la);
  out[la] = '/';
  memcpy(out + la + 1, copy, lb + 1);
  return true;
}

// Follows the link `fd` found in the walk's folder, when only root could
// have placed it there.
bool follow(Walk& w, int fd, TrustedPath& out) {
  if (others_can_change(w.folder_st)) {
    return refused(out, w.shown, static_cast<unsigned>(w.folder_st.st_uid));
  }
  if (w.tainted) return refused(out, w.taint, w.taint_uid);
  if (++w.links > kMaxLinks) return failed(out, ELOOP);
  char target[kTrustedPathSize];
  ssize_t length = readlinkat(fd, "", target, sizeof target);
  if (length < 0) return failed(out, errno);
  if (static_cast<size_t>(length) >= sizeof target) return failed(out, ENAMETOOLONG);
  target[length] = '\0';
  if (!joined(w.rest, target, w.next)) return failed(out, ENAMETOOLONG);
  w.next = w.rest;
  if (target[0] == '/' && !enter_root(w)) return failed(out, errno);
  return true;
}

// Steps up to the folder holding the walk's folder ("/" stays "/"), only
// while no folder passed could be changed by others: its owner could have
// moved the folder, and ".." would then lead elsewhere.
bool step_up(Walk& w, TrustedPath& out) {
  if (w.tainted) return refused(out, w.taint, w.taint_uid);
  Descriptor parent(openat(w.folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (parent.get() < 0 || fstat(parent.get(), &st) != 0) return failed(out, errno);
  char* slash = strrchr(w.shown, '/');
  if (slash != nullptr) *slash = '\0';
  w.folder = std::move(parent);
  w.folder_st = st;
  return true;
}

// Opens the last component again with the caller's flags; it must still
// be the object the walk found.
bool open_last(const Walk& w, const char* name, const struct stat& found, int flags,
               TrustedPath& out) {
  if (!S_ISDIR(found.st_mode) && !S_ISREG(found.st_mode)) return failed(out, EINVAL);
  out.fd.reset(openat(w.folder.get(), name, flags | O_NOFOLLOW | O_CLOEXEC));
  if (out.fd.get() < 0 && errno != ELOOP) return failed(out, errno);
  if (out.fd.get() >= 0 && fstat(out.fd.get(), &out.st) != 0) return failed(out, errno);
  if (out.fd.get() >= 0 && out.st.st_dev == found.st_dev && out.st.st_ino == found.st_ino) {
    return true;
  }
  out.fd.reset(-1);  // swapped meanwhile: only someone who can change the folder could
  if (others_can_change(w.folder_st)) {
    return refused(out, w.shown, static_cast<unsigned>(w.folder_st.st_uid));
  }
  return failed(out, EAGAIN);
}

}  // namespace

bool others_can_change(const struct stat& st) {
  bool trusted_owner = st.st_uid == 0 || st.st_uid == geteuid();
  return !trusted_owner || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool open_trusted(const char* path, int flags, TrustedPath& out) {
  out.fd.reset(-1);
  out.refused = false;
  out.error = 0;
  Walk w;
  if (path[0] != '/') return failed(out, EINVAL);
  if (strlen(path) >= sizeof w.rest) return failed(out, ENAMETOOLONG);
  memcpy(w.rest, path, strlen(path) + 1);
  w.next = w.rest;
  if (!enter_root(w)) return failed(out, errno);
  passed(w);
  char name[NAME_MAX + 1];
  int error = 0;
  while (next_component(w.next, name, error)) {
    if (strcmp(name, "..") == 0) {
      if (!step_up(w, out)) return false;
      continue;
    }
    Descriptor fd(openat(w.folder.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return failed(out, errno);
    if (S_ISLNK(st.st_mode)) {
      if (!follow(w, fd.get(), out)) return false;
      continue;
    }
    if (is_last(w.next)) return open_last(w, name, st, flags, out);
    if (!S_ISDIR(st.st_mode)) return failed(out, ENOTDIR);
    if (!joined(w.shown, w.shown, name)) return failed(out, ENAMETOOLONG);
    w.folder = std::move(fd);
    w.folder_st = st;
    passed(w);
  }
  if (error != 0) return failed(out, error);
  // Nothing but "/" (or "." components) was named.
  out.fd.reset(openat(w.folder.get(), ".", flags | O_CLOEXEC));
  if (out.fd.get() < 0 || fstat(out.fd.get(), &out.st) != 0) return failed(out, errno);
  return true;
}

}  // namespace util
