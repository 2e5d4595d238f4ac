// Quoting values for the shell and for the tools behind it.
#include "util/cmdline.h"

#include <cstdio>
#include <cstring>

namespace util {

void cmd_char(CommandLine& line, char c) {
  if (line.length + 1 >= line.size) {
    line.overflow = true;
    return;
  }
  line.text[line.length++] = c;
  line.text[line.length] = '\0';
}

void cmd_raw(CommandLine& line, std::initializer_list<const char*> pieces) {
  for (const char* piece : pieces) cmd_raw(line, piece);
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
    if (is_control(static_cast<unsigned char>(*p))) return true;
  }
  return false;
}

bool reads_as_option(const char* value) { return value[0] == '-'; }

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
  // echo takes a leading "-n" or "-e" as its own option.
  if (is_plain(value) && !reads_as_option(value)) {
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
  constexpr char hex[] = "0123456789ABCDEF";
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

}  // namespace util
