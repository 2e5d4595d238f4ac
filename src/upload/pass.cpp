// Disposal of a sent file, and what the tally counts.
#include "upload/pass.h"

#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "util/filestat.h"

namespace upload {

namespace {

// One round of a 64-bit mixer (splitmix64's finaliser).
uint64_t mixed(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
  value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
  return value ^ (value >> 31);
}

}  // namespace

FileIdentity identity_of(const struct stat& st) {
  uint64_t fields[] = {static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_mtim.tv_sec),
                       static_cast<uint64_t>(st.st_mtim.tv_nsec), static_cast<uint64_t>(st.st_ino),
                       static_cast<uint64_t>(st.st_dev)};
  uint64_t identity = 0;
  for (uint64_t field : fields) identity = mixed(identity ^ field) + 0x9e3779b97f4a7c15ULL;
  return identity;
}

void Tally::leave(int64_t size, time_t mtime) {
  if (left == 0 || mtime < oldest_left) oldest_left = mtime;
  ++left;
  bytes_left += size;
}

Outcome dispose_sent_file(Pass& pass, const char* path, const FileIdentity& selected) {
  struct stat sent;
  if (stat(path, &sent) != 0) {
    syslog(LOG_ERR, "File %s disappeared during upload", path);
    return Outcome::kGone;
  }
  if (identity_of(sent) != selected) {
    syslog(LOG_ERR, "File %s changed during upload and will be sent again", path);
    return Outcome::kPassedBy;
  }
  syslog(LOG_NOTICE, "File %s was uploaded", path);
  ++pass.tally.sent;
  pass.tally.bytes_sent += static_cast<int64_t>(sent.st_size);
  if (pass.cfg.ruploaded != 0) {
    if (unlink(path) == 0) {
      syslog(LOG_NOTICE, "File %s was removed", path);
      return Outcome::kSent;
    }
    syslog(LOG_ERR, "Removing file %s has failed(%m)", path);
  }
  util::stamp_file_times(path, pass.watermark);
  // An append between the check above and the stamp would now look old and
  // never be sent: make such a file new again.
  struct stat now;
  if (stat(path, &now) != 0) return Outcome::kSent;
  if (now.st_size != sent.st_size || now.st_ino != sent.st_ino) {
    syslog(LOG_ERR, "File %s changed during upload and will be sent again", path);
    utimes(path, nullptr);
    return Outcome::kSentStillNew;
  }
  // A stamp that failed (logged) leaves the file new: it goes again.
  return now.st_mtime > pass.watermark ? Outcome::kSentStillNew : Outcome::kSent;
}

}  // namespace upload
