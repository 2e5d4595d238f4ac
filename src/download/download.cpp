// The download pass: the listing, then one curl fetch for each listed file.
#include "download/download.h"

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "settings/settings.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/curl.h"
#include "util/filestat.h"
#include "util/scratch.h"

namespace download {

namespace {

constexpr int kCurlListingNotFound = 19;
constexpr size_t kListLineLength = 127;    // a listed URL, without its line end
constexpr size_t kCredentialLength = 127;  // the user line, without its line end

bool run_line(const util::CommandLine& line, const char* what) {
  if (line.overflow) {
    syslog(LOG_ERR, "Command line for %s is longer than %zu characters, not run", what,
           util::kCommandSize - 1);
    return false;
  }
  util::run_shell(line.text);
  return true;
}

bool write_single_list(const char* url) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_echo(line, url);
  util::cmd_raw(line, {" > ", kDownloadList});
  return run_line(line, url);
}

// Runs a curl line with its configuration on curl's standard input.
int run_curl(const char* line, const char* config, const char* shell_flags) {
  if (!util::feed_child_stdin(config)) {
    syslog(LOG_ERR, "Cannot pass curl its configuration(%m)");
    return -1;
  }
  return util::run_shell(line, shell_flags);
}

// Fetches the listing and prefixes each name with the URL; false ends the pass.
bool fetch_listing(const char* config, const char* url) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(line, {util::kCurl, " "});
  util::cmd_curl_config(line);
  util::cmd_raw(line, "-K - -fSs ");
  util::cmd_curl_glob_off(line, url);
  util::cmd_raw(line, "--list-only ");
  util::cmd_word(line, url);
  util::cmd_raw(line, {" > ", kDownloadList, " 2>", util::kCurlError});
  if (line.overflow) {
    syslog(LOG_ERR, "Command line for listing %s is longer than %zu characters, not run", url,
           util::kCommandSize - 1);
    return false;
  }
  int status = run_curl(line.text, config, "-c");
  if (status < 0) return false;
  if (status != 0) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCurlListingNotFound) return false;
    if (util::file_size(util::kCurlError) != 0) {
      syslog(LOG_ERR, "getting list of files has failed(%s)",
             util::read_error_line(util::kCurlError));
      return false;
    }
  }
  line = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(line, {kSed, " -i -e 's#^#"});
  if (!util::cmd_sed_replacement(line, url)) {
    syslog(LOG_ERR, "Download URL %s holds a line feed, nothing is downloaded", url);
    return false;
  }
  util::cmd_raw(line, {"#' ", kDownloadList});
  return run_line(line, url);
}

// Reads one list line; false at the end. A line longer than the buffer is
// consumed whole and reported, never fetched in pieces.
bool next_line(FILE* list, char (&line)[kListLineLength + 1], bool& too_long) {
  if (fgets(line, sizeof line, list) == nullptr) return false;
  too_long = false;
  if (strchr(line, '\n') != nullptr) return true;
  int c = fgetc(list);
  if (c == EOF || c == '\n') return true;
  too_long = true;
  while (c != EOF && c != '\n') c = fgetc(list);
  return true;
}

void cut_line(char* line) {
  if (char* lf = strrchr(line, '\n')) *lf = '\0';
  if (char* cr = strrchr(line, '\r')) *cr = '\0';
}

// curl reads a blank, "#", "?" or "%" in a URL as something else, and saves
// a name with a backslash under its tail: the file would land under another
// name.
bool fetchable_name(const char* line, const char* url) {
  size_t url_length = strlen(url);
  const char* name = strncmp(line, url, url_length) == 0 ? line + url_length : line;
  if (strpbrk(name, " #?%\\") == nullptr && !util::has_control(name)) return true;
  syslog(LOG_ERR, "Listed name %s cannot be fetched under its own name, skipped", name);
  return false;
}

// Fetches one URL into the folder; false when the server as a whole cannot
// be used now, which ends the fetching.
bool fetch_one(const char* folder, const char* config, const char* url) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(line, "cd ");
  util::cmd_word(line, folder);
  util::cmd_raw(line, {"; ", util::kCurl, " "});
  util::cmd_curl_config(line);
  util::cmd_raw(line, "-K - -fSOs ");
  util::cmd_curl_glob_off(line, url);
  util::cmd_word(line, url);
  util::cmd_raw(line, {" 2>", util::kCurlError});
  if (line.overflow) {
    syslog(LOG_ERR, "Command line for %s is longer than %zu characters, not fetched", url,
           util::kCommandSize - 1);
    return true;
  }
  // A failed change of folder must not report an earlier failure's text.
  util::empty_file(util::kCurlError);
  int status = run_curl(line.text, config, "-ce");
  if (status != 0 && util::file_size(util::kCurlError) != 0) {
    syslog(LOG_ERR, "getting file %s has failed(%s)", url, util::read_error_text(util::kCurlError));
  }
  return !util::curl_server_unusable(status);
}

void fetch_listed(const char* folder, const char* config, const char* url, bool directory) {
  FILE* list = fopen(kDownloadList, "re");
  if (list == nullptr) return;
  char line[kListLineLength + 1];
  bool too_long = false;
  bool server_down = false;
  unsigned left = 0;
  while (next_line(list, line, too_long)) {
    if (server_down) {
      ++left;
      continue;
    }
    cut_line(line);
    if (too_long) {
      syslog(LOG_ERR, "Download list line %s... is longer than %zu characters, not fetched", line,
             kListLineLength);
      continue;
    }
    if (directory && !fetchable_name(line, url)) continue;
    if (util::refused_as_option("Download URL", line)) continue;
    syslog(LOG_NOTICE, "downloading %s", line);
    server_down = !fetch_one(folder, config, line);
  }
  fclose(list);
  if (left > 0) {
    syslog(LOG_ERR, "Download server cannot be used now, %u listed files left for the next run",
           left);
  }
}

// A URL ending in "/" names a remote directory: its listing is fetched.
bool names_directory(const char* url) {
  size_t length = strlen(url);
  return length > 0 && url[length - 1] == '/';
}

}  // namespace

std::vector<util::Tool> download_tools(const char* url) {
  std::vector<util::Tool> tools = {{util::kCurl, "fetches the downloads"}};
  if (names_directory(url)) tools.push_back({kSed, "prefixes the download listing"});
  return tools;
}

void fetch_downloads(const char* folder, const char* url, const char* user, const char* password) {
  if (folder[0] == '\0') {
    syslog(LOG_ERR, "Scan folder is not set, nothing is downloaded");
    return;
  }
  if (util::refused_as_option("Download URL", url) ||
      util::refused_as_option("Download user name", user)) {
    return;
  }
  char user_buffer[kCredentialLength + 2];  // and the line end
  util::CommandLine user_line = util::command_line(user_buffer, sizeof user_buffer);
  util::curl_user_line(user_line, user, password);
  if (user_line.overflow) {
    syslog(LOG_ERR, "Download credential line is longer than %zu characters, nothing is downloaded",
           kCredentialLength);
    return;
  }
  char config_buffer[util::kCommandSize];
  util::CommandLine config = util::command_line(config_buffer, sizeof config_buffer);
  util::cmd_raw(config, user_buffer);
  util::curl_bounds(config, settings::cfg.connect_timeout, settings::cfg.stall_timeout,
                    settings::cfg.rate_limit);
  bool directory = names_directory(url);
  if (directory ? !fetch_listing(config_buffer, url) : !write_single_list(url)) return;
  fetch_listed(folder, config_buffer, url, directory);
  unlink(kDownloadList);
}

}  // namespace download
