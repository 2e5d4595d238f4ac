// File times and sizes.
#include "util/filestat.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

// The build asks for 64-bit offsets and times (_FILE_OFFSET_BITS=64,
// _TIME_BITS=64); a C library that ignores them would fail stat on files
// over 2 GiB and wrap times in 2038 on 32-bit ARM, so such a build fails.
static_assert(sizeof(time_t) == 8,
              "64-bit time_t needed: glibc 2.34 or later, musl 1.2 or later, or a C library "
              "built with 64-bit time");
static_assert(sizeof(off_t) == 8,
              "64-bit off_t needed: a C library that honours _FILE_OFFSET_BITS=64");

namespace util {

namespace {

// The stamped times: one fixed pair for every stamp of a run, as the
// times handed to the kernel.
struct timespec stamp_times[2];

// Whether a user of `uid` in `groups` may read the file.
bool user_reads(uid_t uid, const gid_t* groups, size_t count, const struct stat& file) {
  if (file.st_uid == uid) return (file.st_mode & S_IRUSR) != 0;
  for (size_t k = 0; k < count; ++k) {
    if (groups[k] == file.st_gid) return (file.st_mode & S_IRGRP) != 0;
  }
  return (file.st_mode & S_IROTH) != 0;
}

}  // namespace

FolderWriters folder_writers(int dir_fd) {
  FolderWriters writers;
  struct stat& folder = writers.folder;
  if (fstat(dir_fd, &folder) != 0) {
    folder = {};
    return writers;
  }
  if ((folder.st_mode & S_IWUSR) == 0 || folder.st_uid == 0) return writers;
  // An owner without an entry counts by uid alone; one in more groups than
  // fit counts by those that fit: either is stricter, never laxer.
  struct passwd* user = getpwuid(folder.st_uid);
  if (user == nullptr) return writers;
  int count = static_cast<int>(kMaxOwnerGroups);
  getgrouplist(user->pw_name, user->pw_gid, writers.owner_groups, &count);
  writers.owner_group_count =
      count < 0 ? 0 : std::min(static_cast<size_t>(count), kMaxOwnerGroups);
  if (writers.owner_group_count == 0) {
    writers.owner_groups[0] = user->pw_gid;
    writers.owner_group_count = 1;
  }
  return writers;
}

bool readable_by_writers(const FolderWriters& writers, const struct stat& file) {
  const struct stat& folder = writers.folder;
  if ((folder.st_mode & S_IWUSR) != 0 && folder.st_uid != 0 &&
      !user_reads(folder.st_uid, writers.owner_groups, writers.owner_group_count, file)) {
    return false;
  }
  // Anyone of the folder's group, or anyone at all: no uid of theirs is known.
  if ((folder.st_mode & S_IWGRP) != 0 && !user_reads(static_cast<uid_t>(-1), &folder.st_gid, 1, file)) {
    return false;
  }
  return (folder.st_mode & S_IWOTH) == 0 || user_reads(static_cast<uid_t>(-1), nullptr, 0, file);
}

time_t file_mtime(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_mtime : 0;
}

bool watermark_status(struct stat& st, TrustedPath& way) {
  if (!open_trusted(kWatermarkFolder, O_PATH | O_DIRECTORY, way)) {
    errno = way.refused ? EPERM : way.error;
    return false;
  }
  // The file itself may be a link: only root can place one in this folder.
  return fstatat(way.fd.get(), kWatermarkName, &st, 0) == 0;
}

time_t watermark_mtime() {
  struct stat st;
  TrustedPath way;
  if (watermark_status(st, way)) return st.st_mtime;
  if (way.refused) syslog(LOG_ERR, kWatermarkWayRefusal, kWatermarkFolder, way.through, way.uid);
  return 0;
}

int64_t file_size(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

UtcText utc_text(time_t seconds, const char* format) {
  UtcText out;
  struct tm tm;
  if (gmtime_r(&seconds, &tm) == nullptr || strftime(out.text, sizeof out.text, format, &tm) == 0) {
    // 20 digits and a sign at most: always fits.
    snprintf(out.text, sizeof out.text, "%lld", static_cast<long long>(seconds));
  }
  return out;
}

void stamp_file_times(int fd, const char* path, time_t seconds) {
  stamp_times[0].tv_sec = seconds;
  stamp_times[0].tv_nsec = 0;
  stamp_times[1] = stamp_times[0];
  if (futimens(fd, stamp_times) != 0) {
    syslog(LOG_NOTICE, "modification of file %s failed: %m", path);
  }
}

}  // namespace util
