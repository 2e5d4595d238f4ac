// The report of "vastrel check", section by section.
#include "app/check.h"

#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/metrics.h"
#include "download/download.h"
#include "retention/retention.h"
#include "settings/settings.h"
#include "upload/selection.h"
#include "upload/sftp.h"
#include "upload/upload.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/curl.h"
#include "util/filestat.h"
#include "util/scandir.h"
#include "util/scratch.h"

namespace app {

namespace {

constexpr const char* kPrefix = "MOD_VASTREL_";

struct Report {
  FILE* out;
  unsigned problems = 0;
  std::vector<std::string> secrets;  // longest first
  std::vector<std::string> tools;    // checked so far
};

// The text of a printf format: whole, whatever its length.
std::string formatted(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, format, args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  return text;
}

// Every line of the report goes through here. Besides the masking where a
// value is printed, each secret and URL password the settings file holds
// is masked wherever a line took it from, so that no message can show one.
void put_line(Report& report, std::string text) {
  for (const std::string& secret : report.secrets) {
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
      text.replace(at, secret.size(), "***");
    }
  }
  fputs(text.c_str(), report.out);
}

__attribute__((format(printf, 2, 3))) void say(Report& report, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);
  put_line(report, std::move(text));
}

__attribute__((format(printf, 2, 3))) void say_problem(Report& report, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);
  put_line(report, "  problem: " + text + "\n");
  ++report.problems;
}

void problem(Report& report, const char* text, const char* detail = "") {
  say_problem(report, "%s%s", text, detail);
}

const char* when(time_t seconds) {
  static char text[64];
  struct tm tm;
  if (gmtime_r(&seconds, &tm) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) {
    // 20 digits and a sign at most: always fits.
    snprintf(text, sizeof text, "%lld", static_cast<long long>(seconds));
  }
  return text;
}

}  // namespace

bool url_password(const char* url, size_t& start, size_t& length) {
  const char* authority = strstr(url, "://");
  authority = authority != nullptr ? authority + 3 : url;
  size_t span = strcspn(authority, "/");
  const char* at = static_cast<const char*>(memrchr(authority, '@', span));
  if (at == nullptr) return false;
  const char* colon = static_cast<const char*>(memchr(authority, ':', at - authority));
  if (colon == nullptr || colon + 1 == at) return false;
  start = static_cast<size_t>(colon + 1 - url);
  length = static_cast<size_t>(at - colon - 1);
  return true;
}

std::string masked_url(const char* url) {
  size_t start = 0;
  size_t length = 0;
  if (!url_password(url, start, length)) return url;
  return std::string(url, start) + "***" + (url + start + length);
}

namespace {

// Settings ------------------------------------------------------------------

// The keys whose URL may hold a password, and where it belongs instead.
struct UrlKey {
  const char* url;
  const char* password;
};
constexpr UrlKey kUrlKeys[] = {{"MOD_VASTREL_REMOTEURL", "MOD_VASTREL_PASSWORD"},
                               {"MOD_VASTREL_DOWNLOAD_URL", "MOD_VASTREL_DOWNLOAD_PASSWD"}};

const settings::SettingKey* known_key(const char* key, size_t length) {
  for (const settings::SettingKey& k : settings::kSettingKeys) {
    if (strlen(k.name) == length && strncasecmp(k.name, key, length) == 0) return &k;
  }
  return nullptr;
}

// The key a line names once blanks around it are set aside, or null.
const settings::SettingKey* trimmed_key(const settings::SettingLine& line) {
  const char* key = line.key + strspn(line.key, " \t");
  size_t length = line.key_length - static_cast<size_t>(key - line.key);
  if (line.value == nullptr) length = strcspn(key, " \t");
  while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == '\t')) --length;
  return known_key(key, length);
}

// Every secret the file holds, on any line that sets one (read or not), and
// the password of every URL in it: the report masks them all.
void collect_secrets(Report& report, FILE* file) {
  rewind(file);
  settings::SettingLine line;
  while (settings::next_setting_line(file, line)) {
    if (line.value == nullptr) continue;
    const settings::SettingKey* k = trimmed_key(line);
    if (k != nullptr && k->secret && line.value[0] != '\0') report.secrets.emplace_back(line.value);
    size_t start = 0;
    size_t length = 0;
    if (url_password(line.value, start, length)) {
      report.secrets.emplace_back(line.value + start, length);
    }
  }
  std::sort(report.secrets.begin(), report.secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

// A text value as the report shows it: secrets only as set or empty, URLs
// without their password.
std::string shown_text(const settings::SettingKey& k, const char* text) {
  if (k.secret) return *text != '\0' ? "(set)" : "(empty)";
  return *text != '\0' ? masked_url(text) : "\"\"";
}

void print_values(Report& report, const settings::ModuleSettings& s, FILE* file) {
  for (const settings::SettingKey& k : settings::kSettingKeys) {
    // A number read as 0 takes its default, as a missing key does.
    const char* raw = settings::find_setting(file, k.name);
    bool missing = raw == nullptr || (k.number != nullptr && settings::read_uint(raw) == 0);
    std::string shown = k.text != nullptr ? shown_text(k, s.*k.text) : std::to_string(s.*k.number);
    say(report, "  %-28s %s%s\n", k.name, shown.c_str(), missing ? "   (default)" : "");
  }
}

// A number whose text is not what "%u" makes of it ("12days", "-1", "x").
void check_number(Report& report, unsigned line_no, const settings::SettingKey& k,
                  const char* value) {
  std::string read = std::to_string(settings::read_uint(value));
  if (read == value) return;
  say(report, "  warning: line %u: %s=%s reads as %s%s\n", line_no, k.name, value, read.c_str(),
      k.fallback != 0 && read == "0" ? ", which means the default" : "");
}

// A URL with a password puts it on the tool's command line.
void check_url_password(Report& report, unsigned line_no, const settings::SettingKey& k,
                        const char* value) {
  size_t start = 0;
  size_t length = 0;
  for (const UrlKey& u : kUrlKeys) {
    if (strcmp(k.name, u.url) != 0 || !url_password(value, start, length)) continue;
    say(report,
        "  warning: line %u: %s holds a password, which then stands on a command line "
        "that every local user can read; put it in %s instead\n",
        line_no, k.name, u.password);
  }
}

// What the reading rules make of a line that seems meant for a key.
void check_line(Report& report, unsigned line_no, const settings::SettingLine& line,
                unsigned (&first_line)[settings::kSettingKeyCount]) {
  const settings::SettingKey* k = known_key(line.key, line.key_length);
  if (k != nullptr && line.value != nullptr) {
    unsigned& first = first_line[k - settings::kSettingKeys];
    if (first != 0) {
      say(report, "  warning: line %u: %s is set again; only line %u counts\n", line_no, k->name,
          first);
      return;
    }
    first = line_no;
    if (k->number != nullptr) check_number(report, line_no, *k, line.value);
    check_url_password(report, line_no, *k, line.value);
    if (line.cut != nullptr && !(line.value_quoted && *line.cut == '\0')) {
      std::string shown = k->secret ? std::to_string(strlen(line.value)) + " characters (not shown)"
                                    : "\"" + masked_url(line.value) + "\"";
      say(report,
          "  warning: line %u: the value of %s is cut at its last double quote "
          "and reads as %s\n",
          line_no, k->name, shown.c_str());
    }
    return;
  }
  const char* key = line.key + strspn(line.key, " \t");
  size_t length = line.key_length - static_cast<size_t>(key - line.key);
  while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == '\t')) --length;
  if ((k = trimmed_key(line)) != nullptr) {
    if (line.value == nullptr) {
      say(report, "  warning: line %u: names %s but holds no \"=\": not read\n", line_no, k->name);
    } else {
      say(report, "  warning: line %u: \"%.*s\" is not read as %s: %s\n", line_no,
          static_cast<int>(line.key_length), line.key, k->name,
          key != line.key ? "a blank stands before the key" : "a blank stands before \"=\"");
    }
  } else if (line.value != nullptr && length >= strlen(kPrefix) &&
             strncasecmp(key, kPrefix, strlen(kPrefix)) == 0) {
    say(report, "  warning: line %u: %.*s is not a known key (a typo?): ignored\n", line_no,
        static_cast<int>(length), key);
  }
}

void report_settings(Report& report, settings::ModuleSettings& s) {
  settings::load_settings(s);
  FILE* file = fopen(settings::kSettingsPath, "re");
  if (file == nullptr) {
    say(report, "Settings file %s: cannot be read (%s): every key takes its default\n",
        settings::kSettingsPath, strerror(errno));
  } else {
    collect_secrets(report, file);
    say(report, "Settings file %s: read\n", settings::kSettingsPath);
  }
  print_values(report, s, file);
  if (file == nullptr) return;
  unsigned first_line[settings::kSettingKeyCount] = {};
  unsigned line_no = 0;
  rewind(file);
  settings::SettingLine line;
  while (settings::next_setting_line(file, line)) check_line(report, ++line_no, line, first_line);
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
  unsigned name_too_long = 0;
  unsigned by_suffix = 0;  // refused only because of the suffix
  util::SkipCounts skips;
  upload::Selection first;  // the files to send, to be ordered
};

void plan_entry(const settings::ModuleSettings& s, const util::ScanEntry& entry, time_t watermark,
                int64_t age, time_t now, Plan& plan) {
  ++plan.regular;
  if (retention::is_aged(entry.st.st_mtime, age, now)) ++plan.to_remove;
  if (!upload::is_new(entry, watermark)) return;
  upload::Mode mode = upload::transfer_mode(s);
  upload::Refusal refusal = upload::refusal_of(mode, entry.path, s.remote_url, s.partial_suffix);
  if (refusal != upload::Refusal::kNone && s.partial_suffix[0] != '\0' &&
      upload::refusal_of(mode, entry.path, s.remote_url, "") == upload::Refusal::kNone) {
    ++plan.by_suffix;
  }
  switch (refusal) {
    case upload::Refusal::kControl: ++plan.control; return;
    case upload::Refusal::kLineTooLong: ++plan.line_too_long; return;
    case upload::Refusal::kNameTooLong: ++plan.name_too_long; return;
    case upload::Refusal::kNone: break;
  }
  if (util::has_control(entry.path)) ++plan.control;  // curl mode: tried, and refused by curl
  plan.first.add(entry);
  ++plan.to_send;
  plan.bytes += static_cast<int64_t>(entry.st.st_size);
}

void print_plan(Report& report, const settings::ModuleSettings& s, const Plan& plan) {
  upload::Mode mode = upload::transfer_mode(s);
  say(report, "  %u regular files\n", plan.regular);
  say(report, "  next upload would send %u files, %lld bytes in all\n", plan.to_send,
      static_cast<long long>(plan.bytes));
  say(report, "  next remove would delete %u files (last modified more than %u %s ago)\n",
      plan.to_remove, s.time_count, retention::unit_name(s.time_unit));
  if (plan.skips.too_long > 0)
    say(report, "  skipped: %u entries whose path is longer than %zu characters\n",
        plan.skips.too_long, util::kPathSize - 1);
  if (plan.skips.unreadable > 0)
    say(report, "  skipped: %u entries whose status cannot be read\n", plan.skips.unreadable);
  if (plan.line_too_long > 0)
    say(report, "  skipped by upload: %u new files whose %s would be too long\n",
        plan.line_too_long, mode == upload::Mode::kSftp ? "queue line" : "command line");
  if (plan.name_too_long > 0)
    say(report,
        "  skipped by upload: %u new files whose remote name would be longer than %zu "
        "characters\n",
        plan.name_too_long, util::kPathSize - 1);
  if (plan.by_suffix > 0)
    say(report, "  of the files skipped by upload, %u are skipped only because of the suffix\n",
        plan.by_suffix);
  if (plan.control > 0) {
    say(report,
        mode != upload::Mode::kCurl
            ? "  skipped by upload: %u new files whose name holds a control character\n"
            : "  of those, %u names hold a control character, which curl refuses: "
              "they fail on every run\n",
        plan.control);
  }
  if (s.download != 0) {
    say(report,
        "  the download pass is on: files it fetches come on top "
        "(check never contacts a server)\n");
  }
}

// The first files the next upload would send, in the order it sends them.
void print_first(Report& report, const settings::ModuleSettings& s, Plan& plan) {
  static const char* const kOrders[] = {"as the folder lists them", "oldest first", "newest first"};
  upload::Order order = upload::send_order(s);
  plan.first.sort(order);
  size_t shown = plan.first.size() < 5 ? plan.first.size() : 5;
  if (shown == 0) return;
  say(report, "  first to go (%s):\n", kOrders[static_cast<int>(order)]);
  for (size_t k = 0; k < shown; ++k) {
    say(report, "    %s  %s\n", when(plan.first.mtime(k)), plan.first.name(k));
  }
}

void report_scan_folder(Report& report, const settings::ModuleSettings& s) {
  struct stat st;
  time_t watermark = 0;
  if (stat(util::kWatermark, &st) == 0) {
    watermark = st.st_mtime;
    say(report, "\nWatermark %s: %s; files modified later are new\n", util::kWatermark,
        when(watermark));
  } else {
    say(report,
        "\nWatermark %s: %s: every file counts as new, and sent files are "
        "back-dated to 1970\n",
        util::kWatermark, errno == ENOENT ? "missing" : strerror(errno));
  }
  if (s.scan_folder[0] == '\0') {
    say(report, "\nScan folder: not set\n");
    problem(report, "MOD_VASTREL_SCANFOLDER is not set: there is nothing to send or remove");
    return;
  }
  util::Dir dir(s.scan_folder);
  if (dir.get() == nullptr) {
    say(report, "\nScan folder %s: cannot be read (%s)\n", s.scan_folder, strerror(errno));
    problem(report, "the scan folder cannot be read: ", s.scan_folder);
    return;
  }
  say(report, "\nScan folder %s: readable\n", s.scan_folder);
  Plan plan;
  int64_t age = retention::retention_seconds(s);
  time_t now = time(nullptr);
  util::ScanEntry entry;
  while (util::next_regular_file(dir, s.scan_folder, entry, &plan.skips)) {
    plan_entry(s, entry, watermark, age, now, plan);
  }
  print_plan(report, s, plan);
  print_first(report, s, plan);
}

// The transfer --------------------------------------------------------------

// An outside tool: a fixed path, or a name the shell looks up on PATH.
// Each is listed once, under the first role it is checked for.
void check_tool(Report& report, const util::Tool& listed) {
  const char* tool = listed.path;
  const char* why = listed.role;
  for (const std::string& done : report.tools) {
    if (done == tool) return;
  }
  report.tools.push_back(tool);
  char found[4096];
  const char* path = tool;
  if (strchr(tool, '/') == nullptr) {
    const char* search = getenv("PATH");
    path = nullptr;
    for (const char* dir = search != nullptr ? search : "/usr/bin:/bin"; *dir != '\0';) {
      size_t length = strcspn(dir, ":");
      int written = snprintf(found, sizeof found, "%.*s/%s", static_cast<int>(length), dir, tool);
      // A candidate that does not fit is passed over, never checked cut.
      if (length > 0 && written > 0 && static_cast<size_t>(written) < sizeof found &&
          access(found, X_OK) == 0) {
        path = found;
        break;
      }
      dir += length + (dir[length] == ':');
    }
  }
  const char* name = strrchr(tool, '/') != nullptr ? strrchr(tool, '/') + 1 : tool;
  if (path != nullptr && access(path, X_OK) == 0) {
    say(report, "  %-8s %s (%s)\n", name, path, why);
    return;
  }
  say(report, "  %-8s not found or not executable (%s)\n", name, why);
  problem(report, "missing tool: ", tool);
}

void report_sftp(Report& report, const settings::ModuleSettings& s) {
  char host[upload::kSftpPartSize];
  char folder[upload::kSftpPartSize + 1];
  switch (upload::split_sftp_url(s.remote_url, host, folder)) {
    case upload::SftpUrl::kNoScheme:
      problem(report, "the remote URL holds sftp but not sftp://: nothing is sent");
      return;
    case upload::SftpUrl::kTooLong:
      say_problem(report, "the remote URL is longer than %zu characters after sftp://",
                  upload::kSftpPartSize - 1);
      return;
    case upload::SftpUrl::kOk: break;
  }
  say(report, "  user %s, host %s, remote folder %s\n", s.username, masked_url(host).c_str(),
      folder[0] != '\0' ? folder : "(the login folder)");
  if (util::reads_as_option(host)) problem(report, "the host would be read as an option: ", host);
  for (const util::Tool& tool : upload::upload_tools(s)) check_tool(report, tool);
  const char* config = upload::kSshConfig;
  struct stat st;
  if (stat(config, &st) == 0) {
    say(report, "  ssh_config %s (read by the ssh client)\n", config);
  } else if (errno == ENOENT) {
    say(report, "  ssh_config %s is missing\n", config);
    say_problem(report, "%s is missing: the ssh client refuses to start", config);
  } else {
    say(report, "  ssh_config %s cannot be read by this user (%s)\n", config, strerror(errno));
  }
}

// Options of the integrator's curl settings that would change what the
// program relies on: which files go where, what curl reports, how many
// transfers a run makes, and that names and bytes are taken as they are.
constexpr const char* kCurlConfigRefused[] = {"url",
                                              "upload-file",
                                              "output",
                                              "remote-name",
                                              "remote-name-all",
                                              "output-dir",
                                              "next",
                                              "config",
                                              "write-out",
                                              "parallel",
                                              "parallel-max",
                                              "parallel-immediate",
                                              "fail-early",
                                              "quote",
                                              "append",
                                              "continue-at",
                                              "crlf",
                                              "use-ascii",
                                              "list-only",
                                              "request",
                                              "range",
                                              "globoff",
                                              "fail",
                                              "silent",
                                              "show-error",
                                              "stderr",
                                              "dump-header",
                                              "trace",
                                              "trace-ascii",
                                              "get",
                                              "head",
                                              "include",
                                              "data",
                                              "form",
                                              "remote-header-name",
                                              "create-file-mode"};
// The short forms of those options.
constexpr const char kCurlShortRefused[] = "ToOK:wZQaCBlXrgfsSDGIidFJ";
constexpr const char* kCurlShortNames[] = {
    "upload-file", "output",    "remote-name", "config",      "next",
    "write-out",   "parallel",  "quote",       "append",      "continue-at",
    "use-ascii",   "list-only", "request",     "range",       "globoff",
    "fail",        "silent",    "show-error",  "dump-header", "get",
    "head",        "include",   "data",        "form",        "remote-header-name"};

// The option a line of a curl configuration sets, or "" for none.
std::string curl_option(const char* line) {
  line += strspn(line, " \t");
  if (*line == '\0' || *line == '#' || *line == '\n' || *line == '\r') return "";
  if (line[0] == '-' && line[1] != '-') {
    const char* at = line[1] != '\0' ? strchr(kCurlShortRefused, line[1]) : nullptr;
    return at != nullptr ? kCurlShortNames[at - kCurlShortRefused] : "";
  }
  if (line[0] == '-') line += 2;
  std::string name(line, strcspn(line, " \t=:\r\n"));
  // "no-" turns an option off: that changes what the program relies on too.
  return name.compare(0, 3, "no-") == 0 ? name.substr(3) : name;
}

void report_curl_config(Report& report) {
  FILE* file = fopen(util::kCurlConfig, "re");
  if (file == nullptr) {
    if (errno != ENOENT) {
      say(report, "  curl settings %s cannot be read by this user (%s)\n", util::kCurlConfig,
          strerror(errno));
    }
    return;
  }
  say(report, "  curl settings %s (read by every curl before the program's own)\n",
      util::kCurlConfig);
  char line[4096];
  unsigned line_no = 0;
  while (fgets(line, sizeof line, file) != nullptr) {
    ++line_no;
    std::string option = curl_option(line);
    for (const char* refused : kCurlConfigRefused) {
      if (option != refused) continue;
      say_problem(report, "%s line %u sets %s, which the program relies on", util::kCurlConfig,
                  line_no, refused);
    }
  }
  fclose(file);
}

void report_transfer(Report& report, const settings::ModuleSettings& s) {
  bool sftp = upload::uses_sftp(s.remote_url);
  say(report, "\nTransfer: %s\n",
      sftp                ? "sftp, one batch a run"
      : s.curl_batch != 0 ? "curl, a pass's files in one curl run (curl 7.75 or later)"
                          : "curl, one file at a time");
  say(report, "  remote URL %s\n", masked_url(s.remote_url).c_str());
  if (s.remote_url[0] == '\0') problem(report, "MOD_VASTREL_REMOTEURL is empty: every file fails");
  if (util::reads_as_option(s.remote_url))
    problem(report, "the remote URL would be read as an option: ", s.remote_url);
  if (util::reads_as_option(s.username))
    problem(report, "the user name would be read as an option: ", s.username);
  say(report, "  each attempt: %u s to connect, at most %u s without a byte moving\n",
      s.connect_timeout, s.stall_timeout);
  if (s.partial_suffix[0] != '\0') {
    say(report, "  each file is written as NAME%s and renamed to NAME once whole\n",
        s.partial_suffix);
    if (!upload::can_rename(s.remote_url))
      problem(report,
              "MOD_VASTREL_PARTIAL_SUFFIX is set, and only ftp://, ftps:// and sftp:// URLs "
              "can rename: nothing is sent");
  }
  if (sftp) {
    report_sftp(report, s);
  } else {
    for (const util::Tool& tool : upload::upload_tools(s)) check_tool(report, tool);
  }
  if (s.download != 0) {
    say(report, "  download URL %s\n", masked_url(s.download_url).c_str());
    for (const util::Tool& tool : download::download_tools(s.download_url)) {
      check_tool(report, tool);
    }
  }
  if (s.check_ftp != 0) check_tool(report, {app::kKillall, "the FTP wait"});
  if (s.rate_limit != 0) say(report, "  every transfer at most %u KiB/s\n", s.rate_limit);
  if (s.start_spread != 0) {
    say(report, "  an upload run first waits %u s on this device (start spread of %u s)\n",
        app::start_delay(s.start_spread, app::kMachineId), s.start_spread);
  }
  if (!upload::uses_sftp(s.remote_url) || s.download != 0) report_curl_config(report);
}

void report_metrics(Report& report, const settings::ModuleSettings& s) {
  if (s.metrics_dir[0] == '\0') return;
  if (access(s.metrics_dir, W_OK | X_OK) == 0) {
    say(report, "\nMetrics folder %s: each run replaces %s or %s there\n", s.metrics_dir,
        app::kUploadMetrics, app::kRemoveMetrics);
  } else {
    say(report, "\nMetrics folder %s: cannot be written by this user (%s): runs log it\n",
        s.metrics_dir, strerror(errno));
  }
}

void report_scratch(Report& report) {
  struct stat st;
  if (stat(util::kScratchFolder, &st) != 0) {
    if (errno == ENOENT) {
      say(report, "\nScratch folder %s: missing; the first upload creates it with mode 0700\n",
          util::kScratchFolder);
    } else {
      say(report, "\nScratch folder %s: cannot be read by this user (%s)\n", util::kScratchFolder,
          strerror(errno));
    }
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    say(report, "\nScratch folder %s: not a folder\n", util::kScratchFolder);
    say_problem(report, "%s is not a folder: no upload run can start", util::kScratchFolder);
    return;
  }
  struct passwd* owner = getpwuid(st.st_uid);
  say(report, "\nScratch folder %s: mode %04o, owner %s (%u)\n", util::kScratchFolder,
      static_cast<unsigned>(st.st_mode & 07777), owner != nullptr ? owner->pw_name : "?",
      static_cast<unsigned>(st.st_uid));
}

}  // namespace

int run_check(FILE* out) {
  Report report{out, 0, {}, {}};
  settings::ModuleSettings s;
  say(report,
      "vastrel check: what the settings say and what the next runs would do "
      "(nothing is done)\n\n");
  report_settings(report, s);
  report_scan_folder(report, s);
  report_transfer(report, s);
  report_scratch(report);
  report_metrics(report, s);
  if (report.problems == 0) {
    say(report, "\nNothing stands in the way of a run.\n");
    return 0;
  }
  say(report, "\n%u problems stand in the way of a run (see the lines marked problem).\n",
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
