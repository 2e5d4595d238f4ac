#include "util/cmdline.h"

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "util/scratch.h"

namespace util {

void cmd_char(CommandLine& line, char c) {
  if (line.length + 1 >= line.size) {
    line.overflow = true;
    return;
  }
  line.text[line.length++] = c;
  line.text[line.length] = '\0';
}

namespace {

void put(CommandLine& line, char c) { cmd_char(line, c); }

bool is_ascii_alnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

void put_single_quoted(CommandLine& line, const char* value) {
  put(line, '\'');
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '\'') {
      cmd_raw(line, "'\\''");
    } else {
      put(line, *p);
    }
  }
  put(line, '\'');
}

}  // namespace

CommandLine command_line(char* buffer, size_t size) {
  buffer[0] = '\0';
  return CommandLine{buffer, size, 0, false};
}

bool is_plain(const char* value) {
  for (const char* p = value; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!is_ascii_alnum(c) && strchr("_@%+=:,./-", c) == nullptr) return false;
  }
  return true;
}

bool has_control(const char* value) {
  for (const char* p = value; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

bool reads_as_option(const char* value) { return value[0] == '-'; }

bool refused_as_option(const char* what, const char* value) {
  if (!reads_as_option(value)) return false;
  syslog(LOG_ERR, "%s %s starts with \"-\", refused", what, value);
  return true;
}

void cmd_curl_glob_off(CommandLine& line, const char* value, const char* other) {
  if (strpbrk(value, "[]{}") != nullptr || strpbrk(other, "[]{}") != nullptr) {
    cmd_raw(line, "-g ");
  }
}

namespace {

// Looked up once a run, so that every curl of the run reads the same.
bool has_curl_config() {
  static const bool present = access(kCurlConfig, F_OK) == 0;
  return present;
}

}  // namespace

void cmd_curl_config(CommandLine& line) {
  if (!has_curl_config()) return;
  cmd_raw(line, "-K ");
  cmd_raw(line, kCurlConfig);
  cmd_char(line, ' ');
}

void curl_config_again(CommandLine& config) {
  if (!has_curl_config()) return;
  cmd_raw(config, "config = ");
  curl_config_string(config, kCurlConfig);
  cmd_char(config, '\n');
}

void cmd_raw(CommandLine& line, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) put(line, *p);
}

void cmd_word(CommandLine& line, const char* value) {
  if (is_plain(value)) {
    cmd_raw(line, value);
  } else {
    put_single_quoted(line, value);
  }
}

void cmd_dq_word(CommandLine& line, const char* value) {
  if (is_plain(value)) {
    put(line, '"');
    cmd_raw(line, value);
    put(line, '"');
  } else {
    put_single_quoted(line, value);
  }
}

void cmd_echo(CommandLine& line, const char* value) {
  if (is_plain(value)) {
    cmd_raw(line, "echo ");
    cmd_dq_word(line, value);
  } else {
    cmd_raw(line, "printf '%s\\n' ");
    put_single_quoted(line, value);
  }
}

bool cmd_sed_replacement(CommandLine& line, const char* value) {
  if (strchr(value, '\n') != nullptr) {
    line.overflow = true;
    return false;
  }
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '#' || *p == '&') put(line, '\\');
    if (*p == '\'') {
      cmd_raw(line, "'\\''");
    } else {
      put(line, *p);
    }
  }
  return true;
}

void cmd_percent_encoded(CommandLine& line, const char* value) {
  static const char hex[] = "0123456789ABCDEF";
  for (const char* p = value; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (is_ascii_alnum(c) || strchr("-._~", c) != nullptr) {
      put(line, *p);
    } else {
      put(line, '%');
      put(line, hex[c >> 4]);
      put(line, hex[c & 15]);
    }
  }
}

void curl_config_string(CommandLine& config, const char* value) {
  put(config, '"');
  curl_config_text(config, value);
  put(config, '"');
}

void curl_config_text(CommandLine& config, const char* value) {
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') put(config, '\\');
    put(config, *p);
  }
}

void curl_user_line(CommandLine& config, const char* user, const char* password) {
  if (user[0] == '\0' && password[0] == '\0') return;
  cmd_raw(config, "user=\"");
  curl_config_text(config, user);
  put(config, ':');
  curl_config_text(config, password);
  cmd_raw(config, "\"\n");
}

void curl_bounds(CommandLine& config, unsigned connect_timeout, unsigned stall_timeout,
                 unsigned rate_limit) {
  char text[128];
  int length =
      snprintf(text, sizeof text, "connect-timeout = %u\nspeed-limit = 1\nspeed-time = %u\n",
               connect_timeout, stall_timeout);
  if (rate_limit != 0) {
    snprintf(text + length, sizeof text - static_cast<size_t>(length), "limit-rate = %uK\n",
             rate_limit);
  }
  cmd_raw(config, text);
}

bool curl_server_unusable(int status) {
  if (!WIFEXITED(status)) return false;
  // Not resolved (6), not reached (7), remote folder refused (9), no answer
  // in time (28), login refused (67). A broken connection (55, 56) is left
  // out: a server or a box between may break it for one file's content or
  // size, and such a file must not hold back every file behind it in every
  // run; a server that is really gone fails the next file with 7 or 28.
  switch (WEXITSTATUS(status)) {
    case 6:
    case 7:
    case 9:
    case 28:
    case 67: return true;
    default: return false;
  }
}

}  // namespace util
