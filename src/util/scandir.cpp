// Walking a folder's regular files.
#include "util/scandir.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "util/descriptor.h"
#include "util/filestat.h"

namespace util {

namespace {

// Counts, or logs, an entry whose path would be longer than a path holds.
void skip_too_long(const char* folder, const char* name, SkipCounts* skips) {
  if (skips != nullptr) {
    ++skips->too_long;
  } else {
    syslog(LOG_ERR, "Path of file %s in %s is longer than 255 characters, skipped", name, folder);
  }
}

}  // namespace

bool next_regular_file(const Dir& dir, const char* folder, ScanEntry& entry, SkipCounts* skips) {
  while (struct dirent* de = readdir(dir.get())) {
    // Some file systems (XFS without ftype, NFSv3, several FUSE ones) give
    // no type in the listing: such an entry is told by its status below.
    bool unknown = de->d_type == DT_UNKNOWN;
    if (de->d_type != DT_REG && !unknown) continue;
    entry.name = de->d_name;
    bool fits = join_path(entry.path, sizeof entry.path, folder, de->d_name);
    if (!fits && !unknown) {
      skip_too_long(folder, de->d_name, skips);
      continue;
    }
    // Status through the open folder: no second path lookup per entry, and
    // no link followed: a name swapped for one since the listing is passed
    // by as any entry that is not a regular file.
    if (fstatat(dir.fd(), de->d_name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      if (skips != nullptr) {
        ++skips->unreadable;
      } else {
        syslog(LOG_ERR, "Cannot read status of file %s/%s(%m), skipped", folder, de->d_name);
      }
      continue;
    }
    if (!S_ISREG(entry.st.st_mode)) continue;
    if (fits) return true;
    skip_too_long(folder, de->d_name, skips);
  }
  return false;
}

bool is_regular_entry(int dir_fd, const struct dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_REG;
  struct stat st;
  return fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

bool Dir::open(const char* path) {
  TrustedPath way;
  if (!open_trusted(path, O_RDONLY | O_DIRECTORY, way)) {
    if (dir_ != nullptr) closedir(dir_);
    dir_ = nullptr;
    errno = way.refused ? EPERM : way.error;
    return false;
  }
  return adopt(std::move(way.fd));
}

bool Dir::adopt(Descriptor fd) {
  if (dir_ != nullptr) closedir(dir_);
  dir_ = fd.get() >= 0 ? fdopendir(fd.get()) : nullptr;
  if (dir_ == nullptr) return false;
  fd.release();  // closedir closes it now
  return true;
}

bool walk_scan_folder(const char* folder, TrustedPath& way, Findings& findings) {
  if (open_trusted(folder, O_RDONLY | O_DIRECTORY, way)) return true;
  if (way.refused) {
    findings.note("\nScan folder %s: others than root can change the way to it\n", folder);
    findings.refuse(kScanWayRefusal, folder, way.through, way.uid);
  }
  return false;
}

ScanOpen open_scan_folder(Dir& dir, const char* folder, Findings& findings) {
  TrustedPath way;
  bool walked = folder[0] != '\0' && walk_scan_folder(folder, way, findings);
  if (way.refused) return ScanOpen::kWayRefused;
  errno = way.error;
  if (walked && dir.adopt(std::move(way.fd))) {
    findings.note("\nScan folder %s: readable\n", folder);
    return ScanOpen::kOpened;
  }
  if (folder[0] == '\0') {
    findings.note("\nScan folder: not set (MOD_VASTREL_SCANFOLDER): nothing to send or remove\n");
  } else {
    findings.note("\nScan folder %s: cannot be read (%s)\n", folder, strerror(errno));
  }
  findings.refuse("Cannot open dir: %s", folder);
  return ScanOpen::kFailed;
}

bool open_scan_folder(Dir& dir, const char* folder) {
  Findings findings(false);
  open_scan_folder(dir, folder, findings);
  return !findings.log_refusal();
}

DIR* list_folder(int dir_fd) {
  Descriptor fd(fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  DIR* dir = fd.get() >= 0 ? fdopendir(fd.get()) : nullptr;
  if (dir == nullptr) return nullptr;
  fd.release();  // closedir closes it now
  rewinddir(dir);
  return dir;
}

bool empty_folder(int dir_fd) {
  DIR* dir = list_folder(dir_fd);
  if (dir == nullptr) return false;
  while (struct dirent* entry = readdir(dir)) {
    // Without AT_REMOVEDIR unlinkat never removes a folder (EISDIR): the
    // listed type only spares that call, and an entry of unknown type
    // (DT_UNKNOWN) is simply tried.
    if (entry->d_type != DT_DIR) unlinkat(dir_fd, entry->d_name, 0);
  }
  closedir(dir);
  return true;
}

uint32_t Names::add(const char* name) { return add(&name, 1); }

uint32_t Names::add(const char* const* texts, size_t count) {
  size_t length = 0;
  for (size_t k = 0; k < count; ++k) length += strlen(texts[k]) + 1;
  if (used_ + length > kNamesBlockSize) {
    blocks_.emplace_back(new char[kNamesBlockSize]);
    used_ = 0;
  }
  uint32_t where = static_cast<uint32_t>(blocks_.size() - 1) * kNamesBlockSize + used_;
  for (size_t k = 0; k < count; ++k) {
    size_t text_length = strlen(texts[k]) + 1;
    memcpy(blocks_.back().get() + used_, texts[k], text_length);
    used_ += static_cast<uint32_t>(text_length);
  }
  return where;
}

void Names::clear() {
  blocks_.clear();
  used_ = kNamesBlockSize;
}

bool join_path(char* out, size_t size, const char* folder, const char* name) {
  // Called for every folder entry: plain copies, no formatting.
  size_t folder_length = strlen(folder);
  size_t name_length = strlen(name);
  if (folder_length + 1 + name_length >= size) return false;
  memcpy(out, folder, folder_length);
  out[folder_length] = '/';
  memcpy(out + folder_length + 1, name, name_length + 1);
  return true;
}

}  // namespace util
