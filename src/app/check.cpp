#include "app/check.h"

#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "retention/retention.h"
#include "settings/settings.h"
#include "upload/sftp.h"
#include "upload/upload.h"
#include "util/cmdline.h"
#include "util/scandir.h"
#include "util/scratch.h"

namespace app {

namespace {

constexpr const char* kPrefix = "MOD_VASTREL_";

struct Report {
  FILE* out;
  unsigned problems = 0;
};

void problem(Report& report, const char* text, const char* detail = "") {
  fprintf(report.out, "  problem: %s%s\n", text, detail);
  ++report.problems;
}

const char* when(time_t seconds) {
  static char text[64];
  struct tm tm;
  if (gmtime_r(&seconds, &tm) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) {
    snprintf(text, sizeof text, "%lld", static_cast<long long>(seconds));
  }
  return text;
}

// The URL with the password of any "user:password@" part masked.
const char* masked_url(const char* url) {
  static char text[settings::kLineSize + 8];
  const char* authority = strstr(url, "://");
  authority = authority != nullptr ? authority + 3 : url;
  size_t length = strcspn(authority, "/");
  const char* at = static_cast<const char*>(memrchr(authority, '@', length));
  const char* colon =
      at != nullptr ? static_cast<const char*>(memchr(authority, ':', at - authority)) : nullptr;
  if (colon == nullptr) return url;
  snprintf(text, sizeof text, "%.*s:***%s", static_cast<int>(colon - url), url, at);
  return text;
}

void print_url(FILE* out, const char* label, const char* url) {
  fprintf(out, "  %s %s\n", label, masked_url(url));
}

// Settings ------------------------------------------------------------------

const settings::SettingKey* known_key(const char* key, size_t length) {
  for (const settings::SettingKey& k : settings::kSettingKeys) {
    if (strlen(k.name) == length && strncasecmp(k.name, key, length) == 0) return &k;
  }
  return nullptr;
}

void print_values(FILE* out, const settings::ModuleSettings& s, FILE* file) {
  for (const settings::SettingKey& k : settings::kSettingKeys) {
    // A number read as 0 takes its default, as a missing key does.
    const char* raw = settings::find_setting(file, k.name);
    bool missing = raw == nullptr || (k.number != nullptr && settings::read_uint(raw) == 0);
    char value[64];
    const char* shown = value;
    if (k.text != nullptr) {
      const char* text = s.*k.text;
      shown = k.secret ? (*text != '\0' ? "(set)" : "(empty)")
                       : (*text != '\0' ? masked_url(text) : "\"\"");
    } else {
      snprintf(value, sizeof value, "%u", s.*k.number);
    }
    fprintf(out, "  %-28s %s%s\n", k.name, shown, missing ? "   (default)" : "");
  }
}

// A number whose text is not what "%u" makes of it ("12days", "-1", "x").
void check_number(FILE* out, unsigned line_no, const settings::SettingKey& k, const char* value) {
  char read[16];
  snprintf(read, sizeof read, "%u", settings::read_uint(value));
  if (strcmp(read, value) == 0) return;
  fprintf(out, "  warning: line %u: %s=%s reads as %s%s\n", line_no, k.name, value, read,
          k.fallback != 0 && strcmp(read, "0") == 0 ? ", which means the default" : "");
}

// What the reading rules make of a line that seems meant for a key.
void check_line(FILE* out, unsigned line_no, const settings::SettingLine& line,
                unsigned (&first_line)[settings::kSettingKeyCount]) {
  const settings::SettingKey* k = known_key(line.key, line.key_length);
  if (k != nullptr && line.value != nullptr) {
    unsigned& first = first_line[k - settings::kSettingKeys];
    if (first != 0) {
      fprintf(out, "  warning: line %u: %s is set again; only line %u counts\n", line_no, k->name,
              first);
      return;
    }
    first = line_no;
    if (k->number != nullptr) check_number(out, line_no, *k, line.value);
    if (line.cut != nullptr && !(line.value_quoted && *line.cut == '\0')) {
      fprintf(out,
              "  warning: line %u: the value of %s is cut at its last double quote "
              "and reads as \"%s\"\n",
              line_no, k->name, line.value);
    }
    return;
  }
  const char* key = line.key + strspn(line.key, " \t");
  size_t length = line.key_length - static_cast<size_t>(key - line.key);
  while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == '\t')) --length;
  if (line.value == nullptr) {
    size_t word = strcspn(key, " \t");
    if ((k = known_key(key, word)) != nullptr) {
      fprintf(out, "  warning: line %u: names %s but holds no \"=\": not read\n", line_no, k->name);
    }
  } else if ((k = known_key(key, length)) != nullptr) {
    fprintf(out, "  warning: line %u: \"%.*s\" is not read as %s: %s\n", line_no,
            static_cast<int>(line.key_length), line.key, k->name,
            key != line.key ? "a blank stands before the key" : "a blank stands before \"=\"");
  } else if (length >= strlen(kPrefix) && strncasecmp(key, kPrefix, strlen(kPrefix)) == 0) {
    fprintf(out, "  warning: line %u: %.*s is not a known key (a typo?): ignored\n", line_no,
            static_cast<int>(length), key);
  }
}

void report_settings(Report& report, settings::ModuleSettings& s) {
  FILE* out = report.out;
  settings::load_settings(s);
  FILE* file = fopen(settings::kSettingsPath, "re");
  if (file == nullptr) {
    fprintf(out, "Settings file %s: cannot be read (%s): every key takes its default\n",
            settings::kSettingsPath, strerror(errno));
  } else {
    fprintf(out, "Settings file %s: read\n", settings::kSettingsPath);
  }
  print_values(out, s, file);
  if (file == nullptr) return;
  unsigned first_line[settings::kSettingKeyCount] = {};
  unsigned line_no = 0;
  rewind(file);
  settings::SettingLine line;
  while (settings::next_setting_line(file, line)) check_line(out, ++line_no, line, first_line);
  fclose(file);
}

// The scan folder -----------------------------------------------------------

struct Plan {
  unsigned regular = 0;
  unsigned to_send = 0;
  int64_t bytes = 0;
  unsigned to_remove = 0;
  unsigned control = 0;
  unsigned line_too_long = 0;
  util::SkipCounts skips;
};

// The sftp batch and curl's batch mode leave such names out; curl alone
// tries them, and refuses them.
bool skips_control_names(const settings::ModuleSettings& s) {
  return upload::uses_sftp(s.remote_url) || s.curl_batch != 0;
}

void plan_entry(const settings::ModuleSettings& s, const util::ScanEntry& entry, time_t watermark,
                int64_t age, time_t now, Plan& plan) {
  ++plan.regular;
  if (retention::is_aged(entry.st.st_mtime, age, now)) ++plan.to_remove;
  if (!upload::is_new(entry, watermark)) return;
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  bool sftp = upload::uses_sftp(s.remote_url);
  bool control = util::has_control(entry.path);
  if (skips_control_names(s) && control) {
    ++plan.control;  // left out of the batch or the curl run
    return;
  }
  if (sftp ? !upload::format_sftp_put(line, entry.path)
           : !upload::build_put_command(line, entry.path, s.remote_url)) {
    ++plan.line_too_long;
    return;
  }
  if (control) ++plan.control;  // curl mode: tried, and refused by curl
  ++plan.to_send;
  plan.bytes += static_cast<int64_t>(entry.st.st_size);
}

void print_plan(FILE* out, const settings::ModuleSettings& s, const Plan& plan) {
  bool sftp = upload::uses_sftp(s.remote_url);
  fprintf(out, "  %u regular files\n", plan.regular);
  fprintf(out, "  next upload would send %u files, %lld bytes in all\n", plan.to_send,
          static_cast<long long>(plan.bytes));
  fprintf(out, "  next remove would delete %u files (last modified more than %u %s ago)\n",
          plan.to_remove, s.time_count, retention::unit_name(s.time_unit));
  if (plan.skips.too_long > 0)
    fprintf(out, "  skipped: %u entries whose path is longer than 255 characters\n",
            plan.skips.too_long);
  if (plan.skips.unreadable > 0)
    fprintf(out, "  skipped: %u entries whose status cannot be read\n", plan.skips.unreadable);
  if (plan.line_too_long > 0)
    fprintf(out, "  skipped by upload: %u new files whose %s would be too long\n",
            plan.line_too_long, sftp ? "queue line" : "command line");
  if (plan.control > 0) {
    fprintf(out,
            skips_control_names(s)
                ? "  skipped by upload: %u new files whose name holds a control character\n"
                : "  of those, %u names hold a control character, which curl refuses: "
                  "they fail on every run\n",
            plan.control);
  }
  if (s.download != 0) {
    fprintf(out,
            "  the download pass is on: files it fetches come on top "
            "(check never contacts a server)\n");
  }
}

void report_scan_folder(Report& report, const settings::ModuleSettings& s) {
  FILE* out = report.out;
  struct stat st;
  time_t watermark = 0;
  if (stat(upload::kTimestamp, &st) == 0) {
    watermark = st.st_mtime;
    fprintf(out, "\nWatermark %s: %s; files modified later are new\n", upload::kTimestamp,
            when(watermark));
  } else {
    fprintf(out,
            "\nWatermark %s: %s: every file counts as new, and sent files are "
            "back-dated to 1970\n",
            upload::kTimestamp, errno == ENOENT ? "missing" : strerror(errno));
  }
  if (s.scan_folder[0] == '\0') {
    fprintf(out, "\nScan folder: not set\n");
    problem(report, "MOD_VASTREL_SCANFOLDER is not set: there is nothing to send or remove");
    return;
  }
  util::Dir dir(s.scan_folder);
  if (dir.get() == nullptr) {
    fprintf(out, "\nScan folder %s: cannot be read (%s)\n", s.scan_folder, strerror(errno));
    problem(report, "the scan folder cannot be read: ", s.scan_folder);
    return;
  }
  fprintf(out, "\nScan folder %s: readable\n", s.scan_folder);
  Plan plan;
  int64_t age = retention::retention_seconds(s);
  time_t now = time(nullptr);
  util::ScanEntry entry;
  while (util::next_regular_file(dir, s.scan_folder, entry, &plan.skips)) {
    plan_entry(s, entry, watermark, age, now, plan);
  }
  print_plan(out, s, plan);
}

// The transfer --------------------------------------------------------------

// An outside tool: a fixed path, or a name the shell looks up on PATH.
void check_tool(Report& report, const char* tool, const char* why) {
  char found[4096];
  const char* path = tool;
  if (strchr(tool, '/') == nullptr) {
    const char* search = getenv("PATH");
    path = nullptr;
    for (const char* dir = search != nullptr ? search : "/usr/bin:/bin"; *dir != '\0';) {
      size_t length = strcspn(dir, ":");
      snprintf(found, sizeof found, "%.*s/%s", static_cast<int>(length), dir, tool);
      if (length > 0 && access(found, X_OK) == 0) {
        path = found;
        break;
      }
      dir += length + (dir[length] == ':');
    }
  }
  const char* name = strrchr(tool, '/') != nullptr ? strrchr(tool, '/') + 1 : tool;
  if (path != nullptr && access(path, X_OK) == 0) {
    fprintf(report.out, "  %-8s %s (%s)\n", name, path, why);
    return;
  }
  fprintf(report.out, "  %-8s not found or not executable (%s)\n", name, why);
  problem(report, "missing tool: ", tool);
}

void report_sftp(Report& report, const settings::ModuleSettings& s) {
  FILE* out = report.out;
  char host[upload::kSftpPartSize];
  char folder[upload::kSftpPartSize + 1];
  switch (upload::split_sftp_url(s.remote_url, host, folder)) {
    case upload::SftpUrl::kNoScheme:
      problem(report, "the remote URL holds sftp but not sftp://: nothing is sent");
      return;
    case upload::SftpUrl::kTooLong:
      problem(report, "the remote URL is longer than 127 characters after sftp://");
      return;
    case upload::SftpUrl::kOk: break;
  }
  fprintf(out, "  user %s, host %s, remote folder %s\n", s.username, host,
          folder[0] != '\0' ? folder : "(the login folder)");
  if (util::reads_as_option(host)) problem(report, "the host would be read as an option: ", host);
  check_tool(report, "/opt/vastrel/bin/sftp", "the sftp client");
  check_tool(report, "/opt/vastrel/bin/ssh", "the ssh client");
  if (s.password[0] != '\0') check_tool(report, "/opt/vastrel/bin/sshpass", "the password feeder");
  struct stat st;
  if (stat("/var/vastrel/ssh_config", &st) == 0) {
    fprintf(out, "  ssh_config /var/vastrel/ssh_config (read by the ssh client)\n");
  } else if (errno == ENOENT) {
    fprintf(out, "  ssh_config /var/vastrel/ssh_config is missing\n");
    problem(report, "/var/vastrel/ssh_config is missing: the ssh client refuses to start");
  } else {
    fprintf(out, "  ssh_config /var/vastrel/ssh_config cannot be read by this user (%s)\n",
            strerror(errno));
  }
}

void report_transfer(Report& report, const settings::ModuleSettings& s) {
  FILE* out = report.out;
  bool sftp = upload::uses_sftp(s.remote_url);
  fprintf(out, "\nTransfer: %s\n",
          sftp                ? "sftp, one batch a run"
          : s.curl_batch != 0 ? "curl, a pass's files in one curl run (curl 7.75 or later)"
                              : "curl, one file at a time");
  print_url(out, "remote URL", s.remote_url);
  if (s.remote_url[0] == '\0') problem(report, "MOD_VASTREL_REMOTEURL is empty: every file fails");
  if (util::reads_as_option(s.remote_url))
    problem(report, "the remote URL would be read as an option: ", s.remote_url);
  if (util::reads_as_option(s.username))
    problem(report, "the user name would be read as an option: ", s.username);
  fprintf(out, "  each attempt: %u s to connect, at most %u s without a byte moving\n",
          s.connect_timeout, s.stall_timeout);
  if (sftp) {
    report_sftp(report, s);
  } else {
    check_tool(report, "curl", "sends the files");
  }
  if (s.download != 0) {
    print_url(out, "download URL", s.download_url);
    if (sftp) check_tool(report, "curl", "fetches the downloads");
    size_t length = strlen(s.download_url);
    if (length > 0 && s.download_url[length - 1] == '/') {
      check_tool(report, "sed", "prefixes the download listing");
    }
  }
  if (s.check_ftp != 0) check_tool(report, "killall", "the FTP wait");
}

void report_scratch(Report& report) {
  FILE* out = report.out;
  struct stat st;
  if (stat(util::kScratchFolder, &st) != 0) {
    if (errno == ENOENT) {
      fprintf(out, "\nScratch folder %s: missing; the first upload creates it with mode 0700\n",
              util::kScratchFolder);
    } else {
      fprintf(out, "\nScratch folder %s: cannot be read by this user (%s)\n", util::kScratchFolder,
              strerror(errno));
    }
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    fprintf(out, "\nScratch folder %s: not a folder\n", util::kScratchFolder);
    problem(report, "/var/vastrel is not a folder: no upload run can start");
    return;
  }
  struct passwd* owner = getpwuid(st.st_uid);
  fprintf(out, "\nScratch folder %s: mode %04o, owner %s (%u)\n", util::kScratchFolder,
          static_cast<unsigned>(st.st_mode & 07777), owner != nullptr ? owner->pw_name : "?",
          static_cast<unsigned>(st.st_uid));
}

}  // namespace

int run_check(FILE* out) {
  Report report{out};
  settings::ModuleSettings s;
  fprintf(out,
          "vastrel check: what the settings say and what the next runs would do "
          "(nothing is done)\n\n");
  report_settings(report, s);
  report_scan_folder(report, s);
  report_transfer(report, s);
  report_scratch(report);
  if (report.problems == 0) {
    fprintf(out, "\nNothing stands in the way of a run.\n");
    return 0;
  }
  fprintf(out, "\n%u problems stand in the way of a run (see the lines marked problem).\n",
          report.problems);
  return 1;
}

void print_usage(FILE* out) {
  fprintf(out,
          "usage: vastrel check\n"
          "  prints what the settings say and what the next upload and remove runs would do,\n"
          "  and does nothing (exit status 1 when something stands in the way of a run)\n"
          "The work is done under two other names, links to this program beside it:\n"
          "  upload   sends the scan folder's files newer than the watermark\n"
          "  remove   deletes the scan folder's files older than the retention age\n"
          "Settings: %s. What a run does is told to the system log.\n",
          settings::kSettingsPath);
}

}  // namespace app
