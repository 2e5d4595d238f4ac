// File times and sizes: the watermark, reading them, stamping them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "util/trusted.h"

namespace util {

// The watermark: files modified after this file's modification time are
// new. Something else moves it; the program only reads its time.
constexpr const char* kWatermark = "/var/data/vastrel/timestamp";
constexpr const char* kWatermarkFolder = "/var/data/vastrel";
constexpr const char* kWatermarkName = "timestamp";
constexpr const char* kWatermarkWayRefusal =
    "Timestamp folder %s is reached through %s, which user %u can change, it is not read";

// The watermark's status into `st`, read in its folder reached along a way
// only root can change (`way` tells why not); false (errno set) when it
// cannot be read. Changes nothing, logs nothing.
bool watermark_status(struct stat& st, TrustedPath& way);

// The watermark's modification time; 0 when it cannot be read. A way that
// others can change reads as 0 too and logs kWatermarkWayRefusal (LOG_ERR).
time_t watermark_mtime();

// Modification time in seconds (a link followed); 0 when stat fails.
// Changes nothing, logs nothing.
time_t file_mtime(const char* path);

// Size in bytes; 0 when stat fails, so a missing error file reads as empty.
// Changes nothing, logs nothing.
int64_t file_size(const char* path);

// A time as a person reads it ("2026-12-09 14:35:00 UTC"; in `format`, a
// strftime format of UTC, such as kUtcTime or kUtcDate), or its number of
// seconds where the calendar cannot hold it. Changes nothing.
struct UtcText {
  char text[32];
};
constexpr const char* kUtcTime = "%Y-%m-%d %H:%M:%S";
constexpr const char* kUtcDate = "%Y-%m-%d";
UtcText utc_text(time_t seconds, const char* format = "%Y-%m-%d %H:%M:%S UTC");

// Sets access and modification time of the open file `fd` (named `path`
// in the log) to `seconds`. A failure leaves the times and is logged at
// LOG_NOTICE ("modification of file PATH failed").
void stamp_file_times(int fd, const char* path, time_t seconds);

// Who may write the scan folder, as its status says: its owner (u+w),
// anyone of its group (g+w), anyone at all (o+w). Root reads for them, so
// a file is sent only when each of them could read it: otherwise a writer
// could hard-link a file of root's into the folder and have it sent.
constexpr size_t kMaxOwnerGroups = 32;
struct FolderWriters {
  struct stat folder {};  // zero (no writer but root) when it cannot be read
  gid_t owner_groups[kMaxOwnerGroups] = {};  // the owner's groups, primary first
  size_t owner_group_count = 0;
};

// The writers of the open folder: its status, and the groups of its owner
// where the owner (not root) writes, looked up once a pass. As if only
// root wrote it (every file is sent, as before) when its status cannot be
// read. Changes nothing, logs nothing.
FolderWriters folder_writers(int dir_fd);

// Whether every writer of the folder could read the file of status `file`
// by its permission bits (owner, else group, else other class); true at
// once, for any file, when only root writes the folder. Changes nothing,
// logs nothing.
bool readable_by_writers(const FolderWriters& writers, const struct stat& file);

}  // namespace util
