// The download pass: the listing, then one curl fetch for each listed file.
#include "download/download.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "util/cmdline.h"
#include "util/command.h"
#include "util/curl.h"
#include "util/filestat.h"
#include "util/pin.h"
#include "util/scandir.h"
#include "util/scratch.h"

namespace download {

namespace {

constexpr const char* kFolderRefusal = "Cannot use fetch folder %s/%s(%s), nothing is downloaded";
constexpr int kCurlListingNotFound = 19;
constexpr size_t kListLineLength = 127;    // a listed URL, without its line end
constexpr size_t kCredentialLength = 127;  // the user line, without its line end

// What one pass works with, made ready by its verdict.
struct Fetch {
  const char* folder;
  const char* url;
  bool directory;  // the URL names a remote directory: its listing is fetched
  const settings::Session& session;
  char config[util::kCommandSize];  // curl's configuration: user line and bounds
  util::Descriptor scan;            // the scan folder
  util::Descriptor private_;        // the pass's own folder in it, named `name`
  char name[kFetchNameLength + 1];
};

// A URL ending in "/" names a remote directory.
bool names_directory(const char* url) {
  size_t length = strlen(url);
  return length > 0 && url[length - 1] == '/';
}

// The command line that lists the remote directory into the list file.
bool listing_line(util::CommandLine& line, const Fetch& fetch) {
  const char* url = fetch.url;
  util::cmd_raw(line, {util::kCurl, " "});
  util::cmd_curl_config(line, fetch.session.curl_config);
  util::cmd_raw(line, "-K - -fSs ");
  util::cmd_curl_glob_off(line, url);
  util::cmd_raw(line, "--list-only ");
  util::cmd_word(line, url);
  util::cmd_raw(line, {" > ", kDownloadList, " 2>", util::kCurlError});
  return !line.overflow;
}

// The command line that writes the single URL as the list's only line.
bool single_list_line(util::CommandLine& line, const char* url) {
  util::cmd_echo(line, url);
  util::cmd_raw(line, {" > ", kDownloadList});
  return !line.overflow;
}

// The command line that puts the URL in front of each listed name.
bool prefix_line(util::CommandLine& line, const char* url) {
  util::cmd_raw(line, {kSed, " -i -e 's#^#"});
  bool no_newline = util::cmd_sed_replacement(line, url);
  util::cmd_raw(line, {"#' ", kDownloadList});
  return no_newline && !line.overflow;
}

// The command line that fetches one URL into the folder it starts in.
bool fetch_line(util::CommandLine& line, const Fetch& fetch, const char* url) {
  util::cmd_raw(line, {util::kCurl, " "});
  util::cmd_curl_config(line, fetch.session.curl_config);
  util::cmd_raw(line, "-K - -fSOs ");
  util::cmd_curl_glob_off(line, url);
  util::cmd_word(line, url);
  util::cmd_raw(line, {" 2>", util::kCurlError});
  return !line.overflow;
}

// The lines that set up the list: too long, or a URL sed cannot take.
void list_verdict(const Fetch& fetch, util::Findings& findings) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  if (!fetch.directory) {
    if (!single_list_line(line, fetch.url)) {
      findings.refuse("Command line for %s is longer than %zu characters, not run",
                      util::Url{fetch.url}, util::kCommandSize - 1);
    }
    return;
  }
  if (!listing_line(line, fetch)) {
    findings.refuse("Command line for listing %s is longer than %zu characters, not run",
                    util::Url{fetch.url}, util::kCommandSize - 1);
    return;
  }
  line = util::command_line(buffer, sizeof buffer);
  if (strchr(fetch.url, '\n') != nullptr) {
    findings.refuse("Download URL %s holds a line feed, nothing is downloaded",
                    util::Url{fetch.url});
  } else if (!prefix_line(line, fetch.url)) {
    findings.refuse("Command line for %s is longer than %zu characters, not run",
                    util::Url{fetch.url}, util::kCommandSize - 1);
  }
}

// The name part of a listed line: what follows the URL it was given.
const char* listed_name(const char* line, const char* url) {
  size_t url_length = strlen(url);
  return strncmp(line, url, url_length) == 0 ? line + url_length : line;
}

// curl reads a blank, "#", "?" or "%" in a URL as something else, and saves
// a name with a backslash under its tail: the file would land under another
// name.
bool fetchable_name(const char* name) {
  return strpbrk(name, " #?%\\") == nullptr && !util::has_control(name);
}

// Why one list line is not fetched.
void line_verdict(const Fetch& fetch, const char* url, bool too_long, util::Findings& findings) {
  const char* name = listed_name(url, fetch.url);
  if (too_long) {
    findings.refuse("Download list line %.*s... is longer than %zu characters, not fetched",
                    static_cast<int>(kListLineLength), util::Url{url}, kListLineLength);
  } else if (fetch.directory && !fetchable_name(name)) {
    findings.refuse("Listed name %s cannot be fetched under its own name, skipped", name);
  } else if (util::reads_as_option(url)) {
    findings.refuse(util::kOptionRefusal, "Download URL", util::Url{url});
  }
}

// The fetch of one line, or why it cannot run.
void fetch_verdict(const Fetch& fetch, const char* url, util::CommandLine& line,
                   util::Findings& findings) {
  if (!fetch_line(line, fetch, url)) {
    findings.refuse("Command line for %s is longer than %zu characters, not fetched",
                    util::Url{url}, util::kCommandSize - 1);
  }
}

// A name a pass could have drawn.
bool private_name(const char* name) {
  size_t prefix = strlen(kFetchPrefix);
  return strlen(name) == kFetchNameLength && strncmp(name, kFetchPrefix, prefix) == 0 &&
         strspn(name + prefix, "0123456789abcdef") == kFetchNameLength - prefix;
}

// Whether the open folder is the program's own: a folder of its user with
// mode 0700, which no one else can have put there or write into.
bool own_private(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == 0700;
}

// Decides on the pass's private folder: a name no writer of the scan
// folder can guess, in the scan folder opened into `fetch` along a way only
// root can change; the refusal in
// `findings` when the run cannot make it. Changes nothing.
void private_folder_verdict(Fetch& fetch, util::Findings& findings) {
  if (!util::random_name(fetch.name, sizeof fetch.name, kFetchPrefix, 8)) {
    findings.refuse(kFolderRefusal, fetch.folder, kFetchPrefix, strerror(errno));
    return;
  }
  util::TrustedPath way;
  if (!util::walk_scan_folder(fetch.folder, way, findings)) {
    if (!way.refused) {
      findings.refuse(kFolderRefusal, fetch.folder, fetch.name, strerror(way.error));
    }
    return;
  }
  fetch.scan = std::move(way.fd);
  findings.note(
      "  each fetch is written first in a private folder that the pass makes in %s and "
      "removes\n",
      fetch.folder);
}

// A run's private folder (mode 0700), made and opened by descriptor, used
// only while it is the program's own: the scan folder's writers can rename
// or replace it. False, with the refusal in `findings`, when it cannot be
// used.
bool make_private_folder(Fetch& fetch, util::Findings& findings) {
  if (mkdirat(fetch.scan.get(), fetch.name, 0700) != 0) {
    findings.refuse(kFolderRefusal, fetch.folder, fetch.name, strerror(errno));
    return false;
  }
  fetch.private_.reset(
      openat(fetch.scan.get(), fetch.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fetch.private_.get() < 0) {
    findings.refuse(kFolderRefusal, fetch.folder, fetch.name,
                    errno == ELOOP || errno == ENOTDIR ? "not a folder" : strerror(errno));
  } else if (!own_private(fetch.private_.get())) {
    findings.refuse(kFolderRefusal, fetch.folder, fetch.name,
                    "not this user's own with mode 0700: never used");
    fetch.private_.reset(-1);
  }
  return !findings.refused();
}

// Empties the open private folder and removes it from the scan folder
// while `name` still leads to it (a writer may have renamed it: what
// stands there then is theirs); logs when it cannot.
void remove_private(const Fetch& fetch, int private_fd, const char* name) {
  struct stat held, named;
  util::empty_folder(private_fd);
  if (fstat(private_fd, &held) == 0 &&
      fstatat(fetch.scan.get(), name, &named, AT_SYMLINK_NOFOLLOW) == 0) {
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) errno = ESTALE;
    else if (unlinkat(fetch.scan.get(), name, AT_REMOVEDIR) == 0) return;
  }
  syslog(LOG_ERR, "Cannot remove fetch folder %s/%s(%m)", fetch.folder, name);
}

// Removes the private folders killed passes left; anything else under
// such a name is not the program's own and stays as it is.
void remove_leftovers(const Fetch& fetch) {
  DIR* dir = util::list_folder(fetch.scan.get());
  if (dir == nullptr) return;  // the upload pass says so
  while (struct dirent* entry = readdir(dir)) {
    if (!private_name(entry->d_name)) continue;
    // O_DIRECTORY: anything but a folder is refused before it is opened.
    util::Descriptor left(openat(fetch.scan.get(), entry->d_name,
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (left.get() >= 0 && own_private(left.get())) {
      remove_private(fetch, left.get(), entry->d_name);
    }
  }
  closedir(dir);
}

// Decides what the pass refuses before it fetches anything, with the
// private folder's verdict last; builds its configuration.
void prepare(const settings::ModuleSettings& s, Fetch& fetch, util::Findings& findings) {
  if (fetch.folder[0] == '\0') {
    findings.refuse("Scan folder is not set, nothing is downloaded");
    return;
  }
  if (util::reads_as_option(fetch.url)) {
    findings.refuse(util::kOptionRefusal, "Download URL", util::Url{fetch.url});
  }
  if (util::reads_as_option(s.download_user)) {
    findings.refuse(util::kOptionRefusal, "Download user name", s.download_user);
  }
  char user_buffer[kCredentialLength + 2];  // and the line end
  util::CommandLine user_line = util::command_line(user_buffer, sizeof user_buffer);
  util::curl_user_line(user_line, s.download_user, s.download_passwd);
  if (user_line.overflow) {
    findings.refuse("Download credential line is longer than %zu characters, nothing is downloaded",
                    kCredentialLength);
  }
  util::CommandLine config = util::command_line(fetch.config, sizeof fetch.config);
  util::cmd_raw(config, user_buffer);
  util::curl_bounds(config, s.connect_timeout, s.stall_timeout, s.rate_limit);
  if (!findings.refused()) list_verdict(fetch, findings);
  if (!findings.refused()) private_folder_verdict(fetch, findings);
}

// Runs a curl line with its configuration on curl's standard input,
// starting in `cwd_fd` (-1: the program's own folder). Not started (logged)
// also when the configuration cannot be given.
util::ChildResult run_curl(const Fetch& fetch, const char* line, const char* shell_flags,
                           int cwd_fd = -1) {
  util::ChildSpec child;
  child.record_fd = fetch.session.record_fd;
  child.cwd_fd = cwd_fd;
  if (!child.feed_stdin(fetch.config)) {
    int error = errno;
    syslog(LOG_ERR, "Cannot pass curl its configuration(%m)");
    return util::ChildResult::not_started(error);
  }
  child.shell(line, shell_flags);
  return util::run_child(child);
}

util::ChildResult run_plain(const Fetch& fetch, const char* line) {
  util::ChildSpec child;
  child.record_fd = fetch.session.record_fd;
  child.shell(line);
  return util::run_child(child);
}

// Fetches the listing and prefixes each name with the URL; false ends the pass.
bool fetch_listing(const Fetch& fetch) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  listing_line(line, fetch);
  // Its output is redirected first: a list the shell cannot write would
  // leave an earlier run's text there.
  util::empty_file(util::kCurlError);
  util::ChildResult listing = run_curl(fetch, line.text, "-c");
  if (!listing.started()) return false;
  if (!listing.ok()) {
    if (listing.exited(kCurlListingNotFound)) return false;
    if (util::file_size(util::kCurlError) != 0) {
      syslog(LOG_ERR, "getting list of files has failed(%s)",
             util::read_error_line(util::kCurlError));
      return false;
    }
  }
  line = util::command_line(buffer, sizeof buffer);
  prefix_line(line, fetch.url);
  run_plain(fetch, line.text);
  return true;
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

// Makes a fetched file readable by all, through a descriptor: the upload
// pass sends only what the scan folder's writers could read.
void make_readable(const Fetch& fetch, const char* name) {
  util::Descriptor file(
      openat(fetch.private_.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0 || fchmod(file.get(), 0644) != 0) {
    syslog(LOG_ERR, "Cannot make fetched file %s readable by all(%m)", name);
  }
}

// Moves what a whole fetch wrote into the scan folder, under its name: a
// rename on one file system, which replaces whatever stood there (a link
// too), never writing through it.
void move_fetched(const Fetch& fetch) {
  DIR* dir = util::list_folder(fetch.private_.get());
  if (dir == nullptr) {
    syslog(LOG_ERR, "Cannot read fetch folder %s/%s(%m)", fetch.folder, fetch.name);
    return;
  }
  while (struct dirent* entry = readdir(dir)) {
    if (!util::is_regular_entry(fetch.private_.get(), entry)) continue;
    make_readable(fetch, entry->d_name);
    if (renameat(fetch.private_.get(), entry->d_name, fetch.scan.get(), entry->d_name) != 0) {
      syslog(LOG_ERR, "Cannot move fetched file %s into %s(%m)", entry->d_name, fetch.folder);
    }
  }
  closedir(dir);
}

// Fetches one URL into the private folder, and what arrived whole into the
// scan folder; false when the server as a whole cannot be used now, which
// ends the fetching.
bool fetch_one(const Fetch& fetch, const char* url, const char* line) {
  // A fetch that fails before curl writes must not report an earlier one's text.
  util::empty_file(util::kCurlError);
  util::ChildResult result = run_curl(fetch, line, "-ce", fetch.private_.get());
  if (result.ok()) move_fetched(fetch);
  if (result.started() && !result.ok() && util::file_size(util::kCurlError) != 0) {
    syslog(LOG_ERR, "getting file %s has failed(%s)", url, util::read_error_text(util::kCurlError));
  }
  util::empty_folder(fetch.private_.get());  // a cut fetch goes nowhere
  return !util::curl_server_unusable(result);
}

void fetch_listed(const Fetch& fetch) {
  FILE* list = fopen(kDownloadList, "re");
  if (list == nullptr) return;
  char url[kListLineLength + 1];
  bool too_long = false;
  bool server_down = false;
  unsigned left = 0;
  // A stopped run fetches nothing more, and leaves what is listed unsaid.
  while (util::stop_signal() == 0 && next_line(list, url, too_long)) {
    if (server_down) {
      ++left;
      continue;
    }
    cut_line(url);
    util::Findings findings(false);
    line_verdict(fetch, url, too_long, findings);
    if (findings.log_refusal()) continue;
    syslog(LOG_NOTICE, "downloading %s", url);
    char buffer[util::kCommandSize];
    util::CommandLine line = util::command_line(buffer, sizeof buffer);
    fetch_verdict(fetch, url, line, findings);
    if (findings.log_refusal()) continue;
    server_down = !fetch_one(fetch, url, line.text);
  }
  fclose(list);
  if (left > 0) {
    syslog(LOG_ERR, "Download server cannot be used now, %u listed files left for the next run",
           left);
  }
}

// Fetches the listing, or the single URL, then each listed file.
void fetch_all(const Fetch& fetch) {
  if (fetch.directory) {
    if (!fetch_listing(fetch)) return;
  } else {
    char buffer[util::kCommandSize];
    util::CommandLine line = util::command_line(buffer, sizeof buffer);
    single_list_line(line, fetch.url);
    run_plain(fetch, line.text);
  }
  fetch_listed(fetch);
  unlink(kDownloadList);
}

}  // namespace

void download_verdict(const settings::Session& session, util::Findings& findings) {
  const settings::ModuleSettings& s = session.cfg;
  Fetch fetch{s.scan_folder, s.download_url, names_directory(s.download_url), session, "", {}, {},
              ""};
  findings.note("  download URL %s\n", util::masked_url(fetch.url).c_str());
  prepare(s, fetch, findings);
  if (findings.refused()) return;
  // Every listed line starts with the URL: its verdict for the shortest
  // name a listing can give is every listed file's.
  std::string url = fetch.directory ? std::string(fetch.url) + "x" : fetch.url;
  line_verdict(fetch, url.c_str(), url.size() > kListLineLength, findings);
  if (findings.refused()) return;
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  fetch_verdict(fetch, url.c_str(), line, findings);
}

std::vector<util::Tool> download_tools(const char* url) {
  std::vector<util::Tool> tools = {{util::kCurl, "fetches the downloads"}};
  if (names_directory(url)) tools.push_back({kSed, "prefixes the download listing"});
  return tools;
}

void fetch_downloads(const settings::Session& session) {
  const settings::ModuleSettings& s = session.cfg;
  Fetch fetch{s.scan_folder, s.download_url, names_directory(s.download_url), session, "", {}, {},
              ""};
  util::Findings findings(false);
  prepare(s, fetch, findings);
  if (findings.log_refusal()) return;
  remove_leftovers(fetch);
  if (!make_private_folder(fetch, findings)) {
    findings.log_refusal();
    return;
  }
  fetch_all(fetch);
  remove_private(fetch, fetch.private_.get(), fetch.name);
}

}  // namespace download
