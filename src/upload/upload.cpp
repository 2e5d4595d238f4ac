#include "upload/upload.h"

#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "download/download.h"
#include "settings/settings.h"
#include "upload/curl_batch.h"
#include "upload/sftp.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/filestat.h"
#include "util/scandir.h"
#include "util/scratch.h"

namespace upload {

namespace {

// curl names the upload after the text behind the last "/" or "\\" of the
// path; a name with a backslash would land under its tail, so the target
// name is given whole, percent-encoded, instead.
bool target_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path) {
  size_t url_length = strlen(remote_url);
  const char* slash = strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  if (url_length == 0 || remote_url[url_length - 1] != '/' || strchr(name, '\\') == nullptr) {
    return false;
  }
  util::CommandLine url = util::command_line(out, sizeof out);
  util::cmd_raw(url, remote_url);
  util::cmd_percent_encoded(url, name);
  return !url.overflow;
}

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
  return a.size == b.size && a.mtime_sec == b.mtime_sec && a.mtime_nsec == b.mtime_nsec &&
         a.inode == b.inode && a.device == b.device;
}

void upload_by_curl(const util::Dir& dir, time_t watermark) {
  const settings::ModuleSettings& cfg = settings::cfg;
  if (util::refused_as_option("Remote URL", cfg.remote_url) ||
      util::refused_as_option("User name", cfg.username)) {
    return;
  }
  char config_buffer[util::kCommandSize];
  util::CommandLine config = util::command_line(config_buffer, sizeof config_buffer);
  util::curl_user_line(config, cfg.username, cfg.password);
  util::curl_bounds(config, cfg.connect_timeout, cfg.stall_timeout);
  if (config.overflow) {
    syslog(LOG_ERR, "Credential line is longer than 1023 characters, nothing is sent");
    return;
  }
  if (cfg.curl_batch != 0 && upload_by_curl_batch(dir, watermark, config.text)) return;
  util::ScanEntry entry;
  while (util::next_regular_file(dir, cfg.scan_folder, entry)) {
    if (is_new(entry, watermark) &&
        send_with_retries(entry.path, identity_of(entry.st), watermark, config.text, kAttempts)) {
      report_left_files(dir, watermark, 0);
      return;
    }
  }
}

}  // namespace

bool uses_sftp(const char* remote_url) { return strstr(remote_url, "sftp") != nullptr; }

bool is_new(const util::ScanEntry& entry, time_t watermark) {
  return entry.st.st_mtime > watermark;
}

bool send_with_retries(const char* path, const FileIdentity& selected, time_t watermark,
                       const char* config, int attempts) {
  PutResult result = PutResult::kFailed;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    result = curl_put_file(path, settings::cfg.remote_url, config);
    if (result == PutResult::kRefused) return false;
    if (result == PutResult::kSent) {
      dispose_sent_file(path, selected, watermark);
      return false;
    }
    sleep(kRetryDelay);
  }
  return result == PutResult::kServerDown;
}

void report_left_files(const util::Dir& dir, time_t watermark, unsigned left) {
  util::ScanEntry entry;
  while (util::next_regular_file(dir, settings::cfg.scan_folder, entry)) {
    if (is_new(entry, watermark)) ++left;
  }
  if (left > 0) {
    syslog(LOG_ERR, "Server cannot be used now, %u new files left for the next run", left);
  }
}

const char* upload_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path) {
  return target_url(out, remote_url, path) ? out : remote_url;
}

FileIdentity identity_of(const struct stat& st) {
  return FileIdentity{static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                      static_cast<long>(st.st_mtim.tv_nsec), static_cast<uint64_t>(st.st_ino),
                      static_cast<uint64_t>(st.st_dev)};
}

bool build_put_command(util::CommandLine& line, const char* path, const char* remote_url) {
  char named_url[util::kCommandSize];
  remote_url = upload_url(named_url, remote_url, path);
  util::cmd_raw(line, "curl -fSs ");
  util::cmd_curl_glob_off(line, path, remote_url);
  util::cmd_raw(line, "-K - ");
  util::cmd_word(line, remote_url);
  util::cmd_raw(line, " -T ");
  util::cmd_word(line, path);
  util::cmd_raw(line, " 2>/var/vastrel/curl_error");
  return !line.overflow;
}

PutResult curl_put_file(const char* path, const char* remote_url, const char* config) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  if (!build_put_command(line, path, remote_url)) {
    syslog(LOG_ERR, "Command line for file %s is longer than 1023 characters, not sent", path);
    return PutResult::kRefused;
  }
  if (!util::feed_child_stdin(config)) {
    syslog(LOG_ERR, "Cannot pass curl its configuration(%m)");
    return PutResult::kFailed;
  }
  int status = util::run_command("/bin/sh", "-c", line.text, nullptr);
  if (status == 0) return PutResult::kSent;
  if (util::file_size(util::kCurlError) != 0) {
    syslog(LOG_ERR, "file upload has failed(%s)", util::read_error_line(util::kCurlError));
  }
  return util::curl_server_unusable(status) ? PutResult::kServerDown : PutResult::kFailed;
}

void dispose_sent_file(const char* path, const FileIdentity& selected, time_t watermark) {
  struct stat now;
  if (stat(path, &now) != 0) {
    syslog(LOG_ERR, "File %s disappeared during upload", path);
    return;
  }
  if (!same_identity(identity_of(now), selected)) {
    syslog(LOG_ERR, "File %s changed during upload and will be sent again", path);
    return;
  }
  syslog(LOG_NOTICE, "File %s was uploaded", path);
  if (settings::cfg.ruploaded != 0) {
    if (unlink(path) == 0) {
      syslog(LOG_NOTICE, "File %s was removed", path);
      return;
    }
    syslog(LOG_ERR, "Removing file %s has failed(%m)", path);
  }
  util::stamp_file_times(path, watermark);
  // An append between the check above and the stamp would now look old and
  // never be sent: make such a file new again.
  if (stat(path, &now) == 0 &&
      (now.st_size != selected.size || static_cast<uint64_t>(now.st_ino) != selected.inode)) {
    syslog(LOG_ERR, "File %s changed during upload and will be sent again", path);
    utimes(path, nullptr);
  }
}

void op_upload() {
  const settings::ModuleSettings& cfg = settings::cfg;
  if (!util::ensure_scratch_folder()) return;
  // Runs share the scratch files: a second one would rewrite them mid-transfer.
  util::RunLock lock;
  if (!lock.take(util::kLockFile)) return;
  if (cfg.download != 0) {
    download::fetch_downloads(cfg.scan_folder, cfg.download_url, cfg.download_user,
                              cfg.download_passwd);
  }
  time_t watermark = util::file_mtime(kTimestamp);
  util::Dir dir(cfg.scan_folder);
  if (dir.get() == nullptr) {
    syslog(LOG_ERR, "Cannot open dir: %s", cfg.scan_folder);
    return;
  }
  if (uses_sftp(cfg.remote_url)) {
    upload_by_sftp(dir, watermark);
  } else {
    upload_by_curl(dir, watermark);
  }
}

}  // namespace upload
