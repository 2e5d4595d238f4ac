// The upload pass: modes, refusals, one curl transfer, retries, disposal.
#include "upload/upload.h"

#include <strings.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "download/download.h"
#include "settings/settings.h"
#include "upload/curl_batch.h"
#include "upload/selection.h"
#include "upload/sftp.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/curl.h"
#include "util/filestat.h"
#include "util/scandir.h"
#include "util/scratch.h"

namespace upload {

RunTally tally;

namespace {

// Where the path of a URL starts, or null for a URL without one.
const char* url_path(const char* url) {
  const char* scheme = strstr(url, "://");
  return strchr(scheme != nullptr ? scheme + 3 : url, '/');
}

// A URL names a folder when it ends in "/" or has no path: curl then names
// the upload after the file.
bool names_folder(const char* url) {
  const char* path = url_path(url);
  return path == nullptr || url[strlen(url) - 1] == '/';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The post-transfer rename of the suffix mode as one curl quote command
// ("-RNFR NAME+SUFFIX" or "-RNTO NAME"); false when it would not fit.
bool rename_command(char (&out)[util::kCommandSize], const char* verb, const char* name,
                    const char* suffix) {
  util::CommandLine text = util::command_line(out, sizeof out);
  util::cmd_raw(text, verb);
  util::cmd_raw(text, name);
  util::cmd_raw(text, suffix);
  return !text.overflow;
}

// One round of a 64-bit mixer (splitmix64's finaliser).
uint64_t mixed(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
  value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
  return value ^ (value >> 31);
}

// Every new file, oldest or newest first, each with its attempts.
void send_in_order(const util::Dir& dir, time_t watermark, const char* config) {
  Selection files;
  select_new_files(dir, watermark, Mode::kCurl, files);
  files.sort(send_order(settings::cfg));
  for (size_t k = 0; k < files.size(); ++k) {
    char path[util::kPathSize];
    files.path(k, settings::cfg.scan_folder, path);
    if (send_with_retries(path, files.identity(k), watermark, config, kAttempts)) {
      log_left_files(static_cast<unsigned>(files.size() - k - 1));
      return;
    }
  }
}

void upload_by_curl(const util::Dir& dir, time_t watermark) {
  const settings::ModuleSettings& cfg = settings::cfg;
  if (util::refused_as_option("Remote URL", cfg.remote_url) ||
      util::refused_as_option("User name", cfg.username)) {
    tally.error = true;
    return;
  }
  char config_buffer[util::kCommandSize];
  util::CommandLine config = util::command_line(config_buffer, sizeof config_buffer);
  util::curl_user_line(config, cfg.username, cfg.password);
  util::curl_bounds(config, cfg.connect_timeout, cfg.stall_timeout, cfg.rate_limit);
  if (config.overflow) {
    syslog(LOG_ERR, "Credential line is longer than %zu characters, nothing is sent",
           util::kCommandSize - 1);
    tally.error = true;
    return;
  }
  if (cfg.curl_batch != 0 && upload_by_curl_batch(dir, watermark, config.text)) return;
  if (send_order(cfg) != Order::kListing) {
    send_in_order(dir, watermark, config.text);
    return;
  }
  util::ScanEntry entry;
  while (util::next_regular_file(dir, cfg.scan_folder, entry)) {
    if (is_new(entry, watermark) && !refused(Mode::kCurl, entry.path) &&
        send_with_retries(entry.path, identity_of(entry.st), watermark, config.text, kAttempts)) {
      report_left_files(dir, watermark, 0);
      return;
    }
  }
}

}  // namespace

bool uses_sftp(const char* remote_url) { return strstr(remote_url, "sftp") != nullptr; }

std::vector<util::Tool> upload_tools(const settings::ModuleSettings& s) {
  if (uses_sftp(s.remote_url)) return sftp_tools(s);
  return {{util::kCurl, "sends the files"}};
}

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
    sleep(kRetryDelay);  // after the last attempt too
  }
  ++tally.failed;
  return result == PutResult::kServerDown;
}

void report_left_files(const util::Dir& dir, time_t watermark, unsigned left) {
  util::ScanEntry entry;
  while (util::next_regular_file(dir, settings::cfg.scan_folder, entry)) {
    if (is_new(entry, watermark)) ++left;
  }
  log_left_files(left);
}

Backlog backlog_of(const char* folder, time_t watermark) {
  Backlog backlog;
  util::Dir dir(folder);
  if (dir.get() == nullptr) return backlog;
  util::ScanEntry entry;
  util::SkipCounts skips;  // counted, not logged again
  while (util::next_regular_file(dir, folder, entry, &skips)) {
    if (!is_new(entry, watermark)) continue;
    ++backlog.files;
    backlog.bytes += static_cast<int64_t>(entry.st.st_size);
    if (backlog.files == 1 || entry.st.st_mtime < backlog.oldest)
      backlog.oldest = entry.st.st_mtime;
  }
  return backlog;
}

void log_left_files(unsigned left) {
  tally.server_unusable = true;
  if (left > 0) {
    syslog(LOG_ERR, "Server cannot be used now, %u new files left for the next run", left);
  }
}

FileIdentity identity_of(const struct stat& st) {
  uint64_t fields[] = {static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_mtim.tv_sec),
                       static_cast<uint64_t>(st.st_mtim.tv_nsec), static_cast<uint64_t>(st.st_ino),
                       static_cast<uint64_t>(st.st_dev)};
  uint64_t identity = 0;
  for (uint64_t field : fields) identity = mixed(identity ^ field) + 0x9e3779b97f4a7c15ULL;
  return identity;
}

Order send_order(const settings::ModuleSettings& s) {
  return s.send_order == 1 || s.send_order == 2 ? static_cast<Order>(s.send_order)
                                                : Order::kListing;
}

const char* name_of(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

bool remote_name(char (&out)[util::kPathSize], const char* remote_url, const char* path) {
  if (names_folder(remote_url)) {
    return snprintf(out, sizeof out, "%s", name_of(path)) < static_cast<int>(sizeof out);
  }
  size_t length = 0;
  for (const char* p = strrchr(remote_url, '/') + 1; *p != '\0'; ++p) {
    if (length + 1 >= sizeof out) return false;
    int high = p[0] == '%' ? hex_value(p[1]) : -1;
    int low = high >= 0 ? hex_value(p[2]) : -1;
    if (low >= 0) {
      out[length++] = static_cast<char>(high * 16 + low);
      p += 2;
    } else {
      out[length++] = *p;
    }
  }
  out[length] = '\0';
  return true;
}

const char* target_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path,
                       const char* suffix) {
  const char* name = name_of(path);
  bool folder = names_folder(remote_url);
  bool cut_by_curl = folder && url_path(remote_url) != nullptr && strchr(name, '\\') != nullptr;
  if (suffix[0] == '\0' && !cut_by_curl) return remote_url;
  util::CommandLine url = util::command_line(out, sizeof out);
  util::cmd_raw(url, remote_url);
  if (folder && url_path(remote_url) == nullptr) util::cmd_char(url, '/');
  if (folder) util::cmd_percent_encoded(url, name);
  util::cmd_percent_encoded(url, suffix);
  return url.overflow ? nullptr : out;
}

bool build_put_command(util::CommandLine& line, const char* path, const char* remote_url,
                       const char* suffix) {
  char url_buffer[util::kCommandSize];
  const char* url = target_url(url_buffer, remote_url, path, suffix);
  if (url == nullptr) return false;
  util::cmd_raw(line, {util::kCurl, " -fSs "});
  util::cmd_curl_glob_off(line, path, url);
  util::cmd_curl_config(line);
  util::cmd_raw(line, "-K - ");
  util::cmd_word(line, url);
  util::cmd_raw(line, " -T ");
  util::cmd_word(line, path);
  if (suffix[0] != '\0') {
    char name[util::kPathSize];
    char from[util::kCommandSize];
    char to[util::kCommandSize];
    if (!remote_name(name, remote_url, path) || !rename_command(from, "-RNFR ", name, suffix) ||
        !rename_command(to, "-RNTO ", name, "")) {
      return false;
    }
    util::cmd_raw(line, " -Q ");
    util::cmd_word(line, from);
    util::cmd_raw(line, " -Q ");
    util::cmd_word(line, to);
  }
  util::cmd_raw(line, {" 2>", util::kCurlError});
  return !line.overflow;
}

Mode transfer_mode(const settings::ModuleSettings& s) {
  if (uses_sftp(s.remote_url)) return Mode::kSftp;
  return s.curl_batch != 0 ? Mode::kCurlBatch : Mode::kCurl;
}

bool can_rename(const char* remote_url) {
  return uses_sftp(remote_url) || strncasecmp(remote_url, "ftp://", 6) == 0 ||
         strncasecmp(remote_url, "ftps://", 7) == 0;
}

Refusal refusal_of(Mode mode, const char* path, const char* remote_url, const char* suffix) {
  // curl alone tries a name with a control character (and curl refuses it).
  if (mode != Mode::kCurl && util::has_control(path)) return Refusal::kControl;
  if (suffix[0] != '\0') {
    char name[util::kPathSize];
    if (!remote_name(name, remote_url, path) || strlen(name) + strlen(suffix) >= util::kPathSize) {
      return Refusal::kNameTooLong;
    }
  }
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  bool fits = mode == Mode::kSftp ? format_sftp_put(line, path, suffix)
                                  : build_put_command(line, path, remote_url, suffix);
  return fits ? Refusal::kNone : Refusal::kLineTooLong;
}

bool refused(Mode mode, const char* path) {
  const settings::ModuleSettings& cfg = settings::cfg;
  Refusal refusal = refusal_of(mode, path, cfg.remote_url, cfg.partial_suffix);
  if (refusal != Refusal::kNone) ++tally.refused;
  switch (refusal) {
    case Refusal::kNone: return false;
    case Refusal::kControl:
      syslog(LOG_ERR, "File name %s holds a control character, not sent", path);
      break;
    case Refusal::kNameTooLong:
      syslog(LOG_ERR, "Remote name of file %s would be longer than %zu characters, not sent", path,
             util::kPathSize - 1);
      break;
    case Refusal::kLineTooLong:
      if (mode == Mode::kSftp) {
        syslog(LOG_ERR, "Queue line for file %s is longer than %zu characters, not sent", path,
               kQueueLineSize - 1);
      } else {
        syslog(LOG_ERR, "Command line for file %s is longer than %zu characters, not sent", path,
               util::kCommandSize - 1);
      }
      break;
  }
  return true;
}

PutResult curl_put_file(const char* path, const char* remote_url, const char* config) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  if (!build_put_command(line, path, remote_url, settings::cfg.partial_suffix)) {
    return PutResult::kRefused;  // refused() let no such file through
  }
  if (!util::feed_child_stdin(config)) {
    syslog(LOG_ERR, "Cannot pass curl its configuration(%m)");
    return PutResult::kFailed;
  }
  int status = util::run_shell(line.text);
  if (status == 0) return PutResult::kSent;
  if (util::file_size(util::kCurlError) != 0) {
    syslog(LOG_ERR, "file upload has failed(%s)", util::read_error_line(util::kCurlError));
  }
  return util::curl_server_unusable(status) ? PutResult::kServerDown : PutResult::kFailed;
}

void dispose_sent_file(const char* path, const FileIdentity& selected, time_t watermark) {
  struct stat sent;
  if (stat(path, &sent) != 0) {
    syslog(LOG_ERR, "File %s disappeared during upload", path);
    return;
  }
  if (identity_of(sent) != selected) {
    syslog(LOG_ERR, "File %s changed during upload and will be sent again", path);
    return;
  }
  syslog(LOG_NOTICE, "File %s was uploaded", path);
  ++tally.sent;
  tally.bytes_sent += static_cast<int64_t>(sent.st_size);
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
  struct stat now;
  if (stat(path, &now) == 0 && (now.st_size != sent.st_size || now.st_ino != sent.st_ino)) {
    syslog(LOG_ERR, "File %s changed during upload and will be sent again", path);
    utimes(path, nullptr);
  }
}

void op_upload() {
  const settings::ModuleSettings& cfg = settings::cfg;
  if (!util::ensure_scratch_folder()) {
    tally.error = true;
    return;
  }
  // Runs share the scratch files: a second one would rewrite them mid-transfer.
  util::RunLock lock;
  if (!lock.take(util::kLockFile)) {
    (lock.busy() ? tally.busy : tally.error) = true;
    return;
  }
  if (cfg.download != 0) {
    download::fetch_downloads(cfg.scan_folder, cfg.download_url, cfg.download_user,
                              cfg.download_passwd);
  }
  time_t watermark = util::file_mtime(util::kWatermark);
  util::Dir dir(cfg.scan_folder);
  if (dir.get() == nullptr) {
    syslog(LOG_ERR, "Cannot open dir: %s", cfg.scan_folder);
    tally.error = true;
    return;
  }
  if (cfg.partial_suffix[0] != '\0' && !can_rename(cfg.remote_url)) {
    syslog(LOG_ERR,
           "Remote URL %s cannot rename a file after its transfer (ftp://, ftps:// and sftp:// "
           "can), nothing is sent while MOD_VASTREL_PARTIAL_SUFFIX is set",
           cfg.remote_url);
    tally.error = true;
    return;
  }
  if (uses_sftp(cfg.remote_url)) {
    upload_by_sftp(dir, watermark);
  } else {
    upload_by_curl(dir, watermark);
  }
}

}  // namespace upload
