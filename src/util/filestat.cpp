// File times and sizes.
#include "util/filestat.h"

#include <fcntl.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>

namespace util {

namespace {

// The stamped times: one fixed pair for every stamp of a run, as the
// times handed to the kernel.
struct timespec stamp_times[2];

}  // namespace

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

UtcText utc_text(time_t seconds) {
  UtcText out;
  struct tm tm;
  if (gmtime_r(&seconds, &tm) == nullptr ||
      strftime(out.text, sizeof out.text, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) {
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
