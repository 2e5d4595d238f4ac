#include "upload/sftp.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "settings/settings.h"
#include "upload/upload.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/filestat.h"

namespace upload {

namespace {

constexpr const char* kSftpError = "/var/vastrel/sftp_error";

FILE* queue_reader = nullptr;
int queue_writer = -1;  // open for the queueing of one pass
char queue_line[256];
char queue_path[256];

// The sftp batch parser splits on blanks, reads quotes, backslashes and "#"
// and expands globs; inside double quotes only \ and " need escaping.
void put_queue_path(util::CommandLine& line, const char* path) {
  if (util::is_plain(path)) {
    util::cmd_raw(line, path);
    return;
  }
  util::cmd_char(line, '"');
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') util::cmd_char(line, '\\');
    util::cmd_char(line, *p);
  }
  util::cmd_char(line, '"');
}

// Undoes put_queue_path; null for a line it cannot have written.
const char* unquote_queue_path(const char* text) {
  if (text[0] != '"') return text;
  size_t out = 0;
  for (const char* p = text + 1; *p != '\0'; ++p) {
    if (*p == '"') {
      if (p[1] != '\0') return nullptr;
      queue_path[out] = '\0';
      return queue_path;
    }
    if (*p == '\\' && *++p == '\0') return nullptr;
    if (out + 1 >= sizeof queue_path) return nullptr;  // longer than any line written
    queue_path[out++] = *p;
  }
  return nullptr;
}

// One write per line; a partial line is taken back so the batch never
// holds a cut path.
bool append_line(const char* path, const char* text, size_t length) {
  if (queue_writer < 0) {
    queue_writer = open(kSftpQueue, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  }
  if (queue_writer < 0) {
    syslog(LOG_ERR, "Cannot queue file %s for sftp(%m), not sent", path);
    return false;
  }
  off_t before = lseek(queue_writer, 0, SEEK_END);
  if (write(queue_writer, text, length) == static_cast<ssize_t>(length)) return true;
  syslog(LOG_ERR, "Cannot queue file %s for sftp(%m), not sent", path);
  if (before >= 0 && ftruncate(queue_writer, before) != 0) {
    syslog(LOG_ERR, "Cannot undo a partial line in %s(%m)", kSftpQueue);
  }
  return false;
}

void close_queue_writer() {
  if (queue_writer >= 0) close(queue_writer);
  queue_writer = -1;
}

// The logging form of split_sftp_url; false when nothing may be sent.
bool split_remote(const char* url, const char* user, char (&host)[kSftpPartSize],
                  char (&folder)[kSftpPartSize + 1]) {
  switch (split_sftp_url(url, host, folder)) {
    case SftpUrl::kNoScheme:
      syslog(LOG_ERR, "Remote URL %s holds sftp but not sftp://, nothing is sent", url);
      return false;
    case SftpUrl::kTooLong:
      syslog(LOG_ERR, "Remote URL %s is longer than 127 characters after sftp://, nothing is sent",
             url);
      return false;
    case SftpUrl::kOk: break;
  }
  return !util::refused_as_option("Host", host) && !util::refused_as_option("User name", user);
}

// ssh's bounds, given before the configuration file so that they hold
// whatever it says: connecting and the key exchange within the connect
// bound, and a session whose server sends nothing for the stall bound ends
// (ssh gives up after ServerAliveCountMax + 1 silent intervals).
void put_ssh_bounds(util::CommandLine& line, unsigned connect_timeout, unsigned stall_timeout) {
  unsigned interval = stall_timeout >= 4 ? stall_timeout / 4 : 1;
  unsigned count = stall_timeout >= 4 ? 3 : stall_timeout - 1;
  char text[128];
  snprintf(text, sizeof text,
           "-o ConnectTimeout=%u -o ServerAliveInterval=%u -o ServerAliveCountMax=%u ",
           connect_timeout, interval, count);
  util::cmd_raw(line, text);
}

// Runs the batch line with the password in the feeder's environment only;
// the copy is wiped once the batch has ended.
int run_with_password(const char* line, const char* password) {
  static char entry[sizeof "SSHPASS=" + settings::kLineSize];  // the longest setting fits
  if (password[0] != '\0') {
    snprintf(entry, sizeof entry, "SSHPASS=%s", password);
    util::child_env_extra = entry;
  }
  int status = util::run_command("/bin/sh", "-c", line, nullptr);
  explicit_bzero(entry, sizeof entry);
  return status;
}

}  // namespace

SftpUrl split_sftp_url(const char* url, char (&host)[kSftpPartSize],
                       char (&folder)[kSftpPartSize + 1]) {
  const char* rest = strstr(url, "sftp://");
  if (rest == nullptr) return SftpUrl::kNoScheme;
  rest += strlen("sftp://");
  if (strlen(rest) >= kSftpPartSize) return SftpUrl::kTooLong;
  size_t host_length = strcspn(rest, "/");
  memcpy(host, rest, host_length);
  host[host_length] = '\0';
  snprintf(folder, sizeof folder, "%s", rest + host_length);
  // A folder without its "/" may name a remote file, which sftp would fetch.
  size_t folder_length = strlen(folder);
  if (folder_length > 0 && folder[folder_length - 1] != '/') strcat(folder, "/");
  return SftpUrl::kOk;
}

bool queue_sftp_put(const char* path) {
  if (util::refused_for_control(path)) return false;
  char buffer[256];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  if (!format_sftp_put(line, path)) {
    syslog(LOG_ERR, "Queue line for file %s is longer than 255 characters, not sent", path);
    return false;
  }
  return append_line(path, line.text, line.length);
}

bool format_sftp_put(util::CommandLine& line, const char* path) {
  util::cmd_raw(line, "put ");
  put_queue_path(line, path);
  util::cmd_raw(line, "\n");
  return !line.overflow;
}

const char* parse_sftp_put(const char* line) {
  const char* put = strstr(line, "put ");
  return put != nullptr ? unquote_queue_path(put + 4) : nullptr;
}

int sftp_put_batch(const char* remote_url, const char* username, const char* password) {
  char host[kSftpPartSize];
  char folder[kSftpPartSize + 1];
  if (!split_remote(remote_url, username, host, folder)) return 0;
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  if (password[0] != '\0') {
    // The feeder reads the password from its environment, which only the
    // owner can read; on a command line every local user would see it.
    util::cmd_raw(line, "/opt/vastrel/bin/sshpass -e ");
    // Batch mode turns password prompts off; ssh takes the first value given.
    util::cmd_raw(line, "/opt/vastrel/bin/sftp -o BatchMode=no -b - ");
  } else {
    util::cmd_raw(line, "/opt/vastrel/bin/sftp -b - ");
  }
  util::cmd_raw(line, "-S /opt/vastrel/bin/ssh -F /var/vastrel/ssh_config -o LogLevel=ERROR ");
  put_ssh_bounds(line, settings::cfg.connect_timeout, settings::cfg.stall_timeout);
  util::cmd_word(line, username);
  util::cmd_raw(line, "@");
  util::cmd_word(line, host);
  util::cmd_raw(line, ":");
  util::cmd_word(line, folder);
  util::cmd_raw(line, " < /var/vastrel/sftp_list 2>/var/vastrel/sftp_error > /dev/null");
  if (line.overflow) {
    syslog(LOG_ERR, "sftp command line for %s is longer than 1023 characters, nothing is sent",
           remote_url);
    return 0;
  }
  int status = run_with_password(line.text, password);
  if (status == 0) return 1;
  if (util::file_size(kSftpError) != 0) {
    syslog(LOG_ERR, "file upload has failed(%s)", util::read_error_text(kSftpError));
  } else {
    syslog(LOG_ERR, "file upload has failed(check host or credentials)");
  }
  return 0;
}

void open_sftp_queue() {
  if (queue_reader == nullptr) queue_reader = fopen(kSftpQueue, "re");
}

const char* next_sftp_put() {
  if (queue_reader == nullptr || fgets(queue_line, sizeof queue_line, queue_reader) == nullptr) {
    return nullptr;
  }
  if (char* lf = strrchr(queue_line, '\n')) *lf = '\0';
  return parse_sftp_put(queue_line);
}

void close_sftp_queue() {
  if (queue_reader != nullptr) fclose(queue_reader);
  queue_reader = nullptr;
}

void upload_by_sftp(const util::Dir& dir, time_t watermark) {
  const settings::ModuleSettings& cfg = settings::cfg;
  unlink(kSftpQueue);
  std::map<std::string, FileIdentity> queued;
  util::ScanEntry entry;
  while (util::next_regular_file(dir, cfg.scan_folder, entry)) {
    if (is_new(entry, watermark) && queue_sftp_put(entry.path)) {
      queued[entry.path] = identity_of(entry.st);
    }
  }
  close_queue_writer();
  if (queued.empty()) return;
  if (sftp_put_batch(cfg.remote_url, cfg.username, cfg.password) == 0) return;
  open_sftp_queue();
  while (const char* path = next_sftp_put()) {
    auto found = queued.find(path);
    if (found != queued.end()) dispose_sent_file(path, found->second, watermark);
  }
  close_sftp_queue();
}

}  // namespace upload
