// The sftp batch: its queue, its command line, and what its transcript tells.
#include "upload/sftp.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "settings/settings.h"
#include "upload/selection.h"
#include "upload/upload.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/filestat.h"
#include "util/scratch.h"

namespace upload {

namespace {

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

// The queue of one batch, written one file at a time: a partial write is
// taken back, so the batch never holds a cut path.
class QueueWriter {
 public:
  QueueWriter() : fd_(open(kSftpQueue, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {}
  ~QueueWriter() {
    if (fd_ >= 0) close(fd_);
  }
  QueueWriter(const QueueWriter&) = delete;
  QueueWriter& operator=(const QueueWriter&) = delete;

  bool append(const char* path, const char* text, size_t length) {
    if (fd_ >= 0 && write(fd_, text, length) == static_cast<ssize_t>(length)) {
      written_ += static_cast<off_t>(length);
      return true;
    }
    syslog(LOG_ERR, "Cannot queue file %s for sftp(%m), not sent", path);
    if (fd_ >= 0 && ftruncate(fd_, written_) != 0) {
      syslog(LOG_ERR, "Cannot undo a partial line in %s(%m)", kSftpQueue);
    }
    return false;
  }

 private:
  int fd_;
  off_t written_ = 0;
};

// A remote name as the batch gives it: "./" keeps a name that starts with
// "-" from reading as a flag.
void put_remote_name(util::CommandLine& line, const char* name, const char* suffix) {
  char buffer[util::kCommandSize];
  util::CommandLine remote = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(remote, "./");
  util::cmd_raw(remote, name);
  util::cmd_raw(remote, suffix);
  if (remote.overflow) {
    line.overflow = true;
    return;
  }
  put_queue_path(line, buffer);
}

// How many batch commands the client started, by its echo of each one
// ("sftp> COMMAND") on standard output; -1 when that cannot be read.
long started_commands() {
  FILE* file = fopen(kSftpOutput, "re");
  if (file == nullptr) return -1;
  char line[512];
  long count = 0;
  bool at_start = true;
  while (fgets(line, sizeof line, file) != nullptr) {
    if (at_start && strncmp(line, "sftp> ", 6) == 0) ++count;
    at_start = strchr(line, '\n') != nullptr;
  }
  fclose(file);
  return count;
}

// The logging form of split_sftp_url; false when nothing may be sent.
bool split_remote(const char* url, const char* user, char (&host)[kSftpPartSize],
                  char (&folder)[kSftpPartSize + 1]) {
  switch (split_sftp_url(url, host, folder)) {
    case SftpUrl::kNoScheme:
      syslog(LOG_ERR, "Remote URL %s holds sftp but not sftp://, nothing is sent", url);
      return false;
    case SftpUrl::kTooLong:
      syslog(LOG_ERR, "Remote URL %s is longer than %zu characters after sftp://, nothing is sent",
             url, kSftpPartSize - 1);
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
  char text[128];  // three numbers of ten digits at most: always fits
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
  int status = util::run_shell(line);
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

std::vector<util::Tool> sftp_tools(const settings::ModuleSettings& s) {
  std::vector<util::Tool> tools = {{kSftpClient, "the sftp client"},
                                   {kSshClient, "the ssh client"}};
  if (s.password[0] != '\0') tools.push_back({kPasswordFeeder, "the password feeder"});
  return tools;
}

bool format_sftp_put(util::CommandLine& out, const char* path, const char* suffix) {
  char put_buffer[kQueueLineSize];
  util::CommandLine put = util::command_line(put_buffer, sizeof put_buffer);
  util::cmd_raw(put, "put ");
  put_queue_path(put, path);
  if (suffix[0] == '\0') {
    util::cmd_char(put, '\n');
    util::cmd_raw(out, put_buffer);
    return !put.overflow && !out.overflow;
  }
  // Written under a temporary name, renamed once whole.
  const char* name = name_of(path);
  util::cmd_char(put, ' ');
  put_remote_name(put, name, suffix);
  util::cmd_char(put, '\n');
  char rename_buffer[kQueueLineSize];
  util::CommandLine rename = util::command_line(rename_buffer, sizeof rename_buffer);
  util::cmd_raw(rename, "rename ");
  put_remote_name(rename, name, suffix);
  util::cmd_char(rename, ' ');
  put_remote_name(rename, name, "");
  util::cmd_char(rename, '\n');
  if (put.overflow || rename.overflow) return false;
  util::cmd_raw(out, put_buffer);
  util::cmd_raw(out, rename_buffer);
  return !out.overflow;
}

namespace {

// The batch command line, built once a pass; false when nothing may be sent.
bool build_batch_command(util::CommandLine& line, const settings::ModuleSettings& cfg) {
  char host[kSftpPartSize];
  char folder[kSftpPartSize + 1];
  if (!split_remote(cfg.remote_url, cfg.username, host, folder)) return false;
  if (cfg.password[0] != '\0') {
    // The feeder reads the password from its environment, which only the
    // owner can read; on a command line every local user would see it.
    // Batch mode turns password prompts off; ssh takes the first value given.
    util::cmd_raw(line, {kPasswordFeeder, " -e ", kSftpClient, " -o BatchMode=no -b - "});
  } else {
    util::cmd_raw(line, {kSftpClient, " -b - "});
  }
  if (cfg.rate_limit != 0) {
    // Kbit/s, as the client counts (1024 bits).
    char limit[32];
    snprintf(limit, sizeof limit, "-l %llu ", 8ULL * cfg.rate_limit);
    util::cmd_raw(line, limit);
  }
  util::cmd_raw(line, {"-S ", kSshClient, " -F ", kSshConfig, " -o LogLevel=ERROR "});
  put_ssh_bounds(line, cfg.connect_timeout, cfg.stall_timeout);
  util::cmd_word(line, cfg.username);
  util::cmd_raw(line, "@");
  util::cmd_word(line, host);
  util::cmd_raw(line, ":");
  util::cmd_word(line, folder);
  // The client echoes each command it starts: its transcript tells which
  // files of a failed batch were sent.
  util::cmd_raw(line, {" < ", kSftpQueue, " 2>", kSftpError, " > ", kSftpOutput});
  if (line.overflow) {
    syslog(LOG_ERR, "sftp command line for %s is longer than %zu characters, nothing is sent",
           cfg.remote_url, util::kCommandSize - 1);
    return false;
  }
  return true;
}

// Runs one batch; its wait status, logged when it is not 0.
int run_batch(const char* command) {
  int status = run_with_password(command, settings::cfg.password);
  if (status == 0) return 0;
  if (util::file_size(kSftpError) != 0) {
    syslog(LOG_ERR, "file upload has failed(%s)", util::read_error_text(kSftpError));
  } else {
    syslog(LOG_ERR, "file upload has failed(check host or credentials)");
  }
  return status;
}

// Queues files[first...] that were not left out before; returns how many.
// A file whose lines cannot be written is left out (logged) and stays new.
size_t write_queue(const Selection& files, size_t first, std::vector<bool>& left_out) {
  QueueWriter queue;
  size_t queued = 0;
  for (size_t k = first; k < files.size(); ++k) {
    if (left_out[k]) continue;
    char path[util::kPathSize];
    files.path(k, settings::cfg.scan_folder, path);
    char buffer[2 * kQueueLineSize];
    util::CommandLine lines = util::command_line(buffer, sizeof buffer);
    if (format_sftp_put(lines, path, settings::cfg.partial_suffix) &&
        queue.append(path, lines.text, lines.length)) {
      ++queued;
    } else {
      left_out[k] = true;
    }
  }
  return queued;
}

// Disposes of the first `count` queued files from `first`; returns the
// index of the queued file after them.
size_t dispose_queued(const Selection& files, size_t first, const std::vector<bool>& left_out,
                      size_t count, time_t watermark) {
  size_t k = first;
  for (; k < files.size(); ++k) {
    if (left_out[k]) continue;
    if (count-- == 0) break;
    char path[util::kPathSize];
    files.path(k, settings::cfg.scan_folder, path);
    dispose_sent_file(path, files.identity(k), watermark);
  }
  return k;
}

// Batches over the selected files until every one was sent or failed on
// its own. A failed batch sent the files whose commands were followed by a
// later one; the client stops at the first failing command, and exits 1
// for it. Anything else (no command started: the connection, the login
// or the remote folder failed; a lost session, 255) is the server's, and
// ends the pass.
void send_batches(const Selection& files, const char* command, time_t watermark) {
  size_t commands_per_file = settings::cfg.partial_suffix[0] != '\0' ? 2 : 1;
  std::vector<bool> left_out(files.size());
  size_t first = 0;
  while (first < files.size()) {
    size_t queued = write_queue(files, first, left_out);
    if (queued == 0) return;
    int status = run_batch(command);
    if (status == 0) {
      dispose_queued(files, first, left_out, queued, watermark);
      return;
    }
    long started = started_commands();
    if (started < 0) {  // nothing is known to be sent
      tally.failed += static_cast<unsigned>(queued);
      return;
    }
    size_t commands = queued * commands_per_file;
    bool known = started > 0 && static_cast<size_t>(started) <= commands;
    size_t sent = known ? static_cast<size_t>(started - 1) / commands_per_file : 0;
    size_t failed = dispose_queued(files, first, left_out, sent, watermark);
    if (started > 0) ++tally.failed;
    if (!known || !WIFEXITED(status) || WEXITSTATUS(status) != 1) {
      log_left_files(static_cast<unsigned>(queued - sent - (started > 0 ? 1 : 0)));
      return;
    }
    first = failed + 1;  // the failed file stays new; a new batch takes the rest
  }
}

}  // namespace

void upload_by_sftp(const util::Dir& dir, time_t watermark) {
  unlink(kSftpQueue);
  Selection files;
  select_new_files(dir, watermark, Mode::kSftp, files);
  if (files.size() == 0) return;
  files.sort(send_order(settings::cfg));
  char buffer[util::kCommandSize];
  util::CommandLine command = util::command_line(buffer, sizeof buffer);
  if (!build_batch_command(command, settings::cfg)) {
    tally.error = true;
    return;
  }
  send_batches(files, command.text, watermark);
}

}  // namespace upload
