// curl's configuration lines and the failures that end a pass.
#include "util/curl.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace util {

void cmd_curl_glob_off(CommandLine& line, const char* url) {
  if (strpbrk(url, "[]{}") != nullptr) cmd_raw(line, "-g ");
}

namespace {

// Options of the integrator's curl settings that would change what the
// program relies on: which files go where, what curl reports, how many
// transfers a run makes, and that names and bytes are taken as they are.
constexpr const char* kRefused[] = {"url",
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
constexpr const char kShortRefused[] = "ToOK:wZQaCBlXrgfsSDGIidFJ";
constexpr const char* kShortNames[] = {
    "upload-file", "output",    "remote-name", "config",      "next",
    "write-out",   "parallel",  "quote",       "append",      "continue-at",
    "use-ascii",   "list-only", "request",     "range",       "globoff",
    "fail",        "silent",    "show-error",  "dump-header", "get",
    "head",        "include",   "data",        "form",        "remote-header-name"};

// The option a line of a curl configuration sets, or "" for none.
std::string option_of(const char* line) {
  line += strspn(line, " \t");
  if (*line == '\0' || *line == '#' || *line == '\n' || *line == '\r') return "";
  if (line[0] == '-' && line[1] != '-') {
    const char* at = line[1] != '\0' ? strchr(kShortRefused, line[1]) : nullptr;
    return at != nullptr ? kShortNames[at - kShortRefused] : "";
  }
  if (line[0] == '-') line += 2;
  std::string name(line, strcspn(line, " \t=:\r\n"));
  // "no-" turns an option off: that changes what the program relies on too.
  return name.compare(0, 3, "no-") == 0 ? name.substr(3) : name;
}

}  // namespace

void curl_config_verdict(Findings& findings) {
  FILE* file = fopen(kCurlConfig, "re");
  if (file == nullptr) {
    if (errno != ENOENT) {
      findings.note("  curl settings %s cannot be read by this user (%s)\n", kCurlConfig,
                    strerror(errno));
    }
    return;
  }
  findings.note("  curl settings %s (read by every curl before the program's own)\n", kCurlConfig);
  char line[4096];
  unsigned line_no = 0;
  while (fgets(line, sizeof line, file) != nullptr) {
    ++line_no;
    std::string option = option_of(line);
    for (const char* refused : kRefused) {
      if (option != refused) continue;
      findings.problem("%s line %u sets %s, which the program relies on", kCurlConfig, line_no,
                       refused);
    }
  }
  fclose(file);
}

void cmd_curl_config(CommandLine& line, bool present) {
  if (!present) return;
  cmd_raw(line, "-K ");
  cmd_raw(line, kCurlConfig);
  cmd_char(line, ' ');
}

void curl_config_again(CommandLine& config, bool present) {
  if (!present) return;
  cmd_raw(config, "config = ");
  curl_config_string(config, kCurlConfig);
  cmd_char(config, '\n');
}

void curl_config_string(CommandLine& config, const char* value) {
  cmd_char(config, '"');
  curl_config_text(config, value);
  cmd_char(config, '"');
}

void curl_config_text(CommandLine& config, const char* value) {
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') cmd_char(config, '\\');
    cmd_char(config, *p);
  }
}

void curl_user_line(CommandLine& config, const char* user, const char* password) {
  if (user[0] == '\0' && password[0] == '\0') return;
  cmd_raw(config, "user=\"");
  curl_config_text(config, user);
  cmd_char(config, ':');
  curl_config_text(config, password);
  cmd_raw(config, "\"\n");
}

void curl_bounds(CommandLine& config, unsigned connect_timeout, unsigned stall_timeout,
                 unsigned rate_limit) {
  char text[128];  // three numbers of ten digits at most: always fits
  int length =
      snprintf(text, sizeof text, "connect-timeout = %u\nspeed-limit = 1\nspeed-time = %u\n",
               connect_timeout, stall_timeout);
  if (rate_limit != 0) {
    snprintf(text + length, sizeof text - static_cast<size_t>(length), "limit-rate = %uK\n",
             rate_limit);
  }
  cmd_raw(config, text);
}

int curl_version() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  Descriptor reader(ends[0]);
  ChildSpec child;
  child.argv[0] = kCurl;
  child.argv[1] = "--version";
  child.set_stream(1, Descriptor(ends[1]));
  // Its few lines fit the pipe: read once it has ended.
  if (!run_child(child).ok()) return -1;
  char text[256];
  ssize_t length = read(reader.get(), text, sizeof text - 1);
  if (length <= 0) return -1;
  text[length] = '\0';
  unsigned major = 0;
  unsigned minor = 0;
  unsigned patch = 0;
  if (sscanf(text, "curl %u.%u.%u", &major, &minor, &patch) != 3 || minor > 99 || patch > 99) {
    return -1;
  }
  return static_cast<int>(major * 10000 + minor * 100 + patch);
}

bool curl_server_unusable(ChildResult result) {
  // Not resolved (6), not reached (7), remote folder refused (9), no answer
  // in time (28), login refused (67). A broken connection (55, 56) is left
  // out: a server or a box between may break it for one file's content or
  // size, and such a file must not hold back every file behind it in every
  // run; a server that is really gone fails the next file with 7 or 28.
  switch (result.code()) {  // -1 when it did not exit
    case 6:
    case 7:
    case 9:
    case 28:
    case 67: return true;
    default: return false;
  }
}

}  // namespace util
