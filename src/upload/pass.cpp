// Disposal of a sent file, and what the tally counts.
#include "upload/pass.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>

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
  uint64_t object =
      mixed(mixed(static_cast<uint64_t>(st.st_ino)) ^ static_cast<uint64_t>(st.st_dev));
  return FileIdentity{object, static_cast<int64_t>(st.st_size),
                      static_cast<int64_t>(st.st_mtim.tv_sec),
                      static_cast<int32_t>(st.st_mtim.tv_nsec)};
}

bool same_object(const FileIdentity& listed, const struct stat& st) {
  return S_ISREG(st.st_mode) && identity_of(st).object == listed.object;
}

bool unchanged(const FileIdentity& listed, const struct stat& st) {
  FileIdentity now = identity_of(st);
  return S_ISREG(st.st_mode) && now.object == listed.object && now.size == listed.size &&
         now.mtime_sec == listed.mtime_sec && now.mtime_nsec == listed.mtime_nsec;
}

void Tally::leave(int64_t size, time_t mtime) {
  if (left == 0 || mtime < oldest_left) oldest_left = mtime;
  ++left;
  bytes_left += size;
}

Outcome pin_selected(const Pass& pass, const char* path, const FileIdentity& listed,
                     util::PinnedFile& pin) {
  const char* name = strrchr(path, '/') + 1;
  struct stat st;
  bool held = pin.look(pass.dir.fd(), name, st) && same_object(listed, st);
  if (held && !util::readable_by_writers(pass.writers, st)) {
    pin.close();
    syslog(LOG_ERR, "File %s could not be read by the scan folder's writers, not sent", path);
    return Outcome::kUnreadable;
  }
  if (!held || !pin.open_looked()) {
    pin.close();
    syslog(LOG_ERR, "File %s is no longer the regular file that was listed, not sent", path);
    return Outcome::kGone;
  }
  if (pass.cfg.min_age != 0 &&
      util::writers_of(pass.session.writer_probe, pin.fd()) == util::Writers::kOpen) {
    pin.close();
    return Outcome::kSettling;
  }
  return Outcome::kPending;
}

bool server_holds_whole(Pass& pass, const char* path, const FileIdentity& listed, int64_t told) {
  if (told >= 0) ++pass.tally.sized;
  if (told == listed.size) return true;
  ++pass.tally.short_files;
  if (told < 0) {
    syslog(LOG_ERR, "File %s: the server did not tell its size, kept as new", path);
  } else {
    syslog(LOG_ERR, "File %s is on the server with %lld of %lld bytes, kept as new", path,
           static_cast<long long>(told), static_cast<long long>(listed.size));
  }
  return false;
}

void log_sizes_untold(const Pass& pass) {
  if (pass.cfg.verify == 0 || pass.tally.sized != 0 || pass.tally.short_files == 0) return;
  syslog(LOG_ERR, "The server tells no file's size: set MOD_VASTREL_VERIFY=0 for it");
}

Outcome dispose_sent_file(Pass& pass, const char* path, const util::PinnedFile& pin,
                          const FileIdentity& listed, int64_t told) {
  const char* name = strrchr(path, '/') + 1;
  struct stat named;
  if (fstatat(pass.dir.fd(), name, &named, AT_SYMLINK_NOFOLLOW) != 0) {
    syslog(LOG_ERR, "File %s disappeared during upload", path);
    return Outcome::kGone;
  }
  if (!same_object(listed, named)) {
    syslog(LOG_ERR, "File %s is no longer the regular file that was listed, left as it is", path);
    return Outcome::kGone;
  }
  struct stat sent;
  if (fstat(pin.fd(), &sent) != 0 || !unchanged(listed, sent)) {
    syslog(LOG_ERR, "File %s changed during upload and will be sent again", path);
    return Outcome::kPassedBy;
  }
  // Its times stay: the next run sends it again.
  if (told != kNotAsked && !server_holds_whole(pass, path, listed, told)) return Outcome::kShort;
  syslog(LOG_NOTICE, "File %s was uploaded", path);
  ++pass.tally.sent;
  pass.tally.bytes_sent += static_cast<int64_t>(sent.st_size);
  if (pass.cfg.ruploaded != 0) {
    // Deleted under its writer, a file's last bytes would go to no name:
    // stamped instead, its writer's next write makes it new again.
    if (util::writers_of(pass.session.writer_probe, pin.fd()) == util::Writers::kOpen) {
      syslog(LOG_NOTICE, "File %s is open for writing, not removed", path);
    } else if (unlinkat(pass.dir.fd(), name, 0) == 0) {
      syslog(LOG_NOTICE, "File %s was removed", path);
      return Outcome::kSent;
    } else {
      syslog(LOG_ERR, "Removing file %s has failed(%m)", path);
    }
  }
  util::stamp_file_times(pin.fd(), path, pass.watermark);
  // An append between the check above and the stamp would now look old and
  // never be sent: make such a file new again.
  struct stat now;
  if (fstat(pin.fd(), &now) != 0) return Outcome::kSent;
  if (now.st_size != sent.st_size) {
    syslog(LOG_ERR, "File %s changed during upload and will be sent again", path);
    futimens(pin.fd(), nullptr);
    return Outcome::kSentStillNew;
  }
  // A stamp that failed (logged) leaves the file new: it goes again.
  bool still_new = now.st_mtime > pass.watermark ||
                   settings::undated(pass.session, now.st_mtime, pass.watermark);
  return still_new ? Outcome::kSentStillNew : Outcome::kSent;
}

}  // namespace upload
