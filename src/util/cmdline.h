// Shell command lines, built from templates and quoted values.
// Values must reach their tool exactly: file names and listings come from
// strangers. Text only: nothing here logs, and each function changes
// nothing but the line it is given.
#pragma once

#include <cstddef>
#include <initializer_list>

namespace util {

constexpr size_t kCommandSize = 1024;  // at most 1023 characters

// Text appended into a caller's buffer, always terminated; once something
// does not fit the line is marked and must not be run.
struct CommandLine {
  char* text;
  size_t size;
  size_t length;
  bool overflow;
};

// An empty line over `buffer` of `size` bytes (buffer[0] is cleared).
CommandLine command_line(char* buffer, size_t size);

// True when the value holds only ASCII letters, digits and _@%+=:,./- and
// so reaches the shell safely as it stands.
bool is_plain(const char* value);

// True for a control character (0x01-0x1f, 0x7f): what no name should
// carry onto a command line or a terminal.
inline bool is_control(unsigned char c) { return (c != 0 && c < 0x20) || c == 0x7f; }

// True when the value holds a control character.
bool has_control(const char* value);

// True for a value that curl or ssh would read as an option (a leading "-").
bool reads_as_option(const char* value);

// The refusal of such a value: what it is, then the value.
constexpr const char* kOptionRefusal = "%s %s starts with \"-\", refused";

// Appends template text unquoted, so never a value from outside; cmd_char
// one character.
void cmd_raw(CommandLine& line, const char* text);
void cmd_char(CommandLine& line, char c);
// Template pieces, one after the other: a template built from the names
// of fixed paths and tools.
void cmd_raw(CommandLine& line, std::initializer_list<const char*> pieces);

// Appends a bare %s: the plain value, or the value in single quotes.
void cmd_word(CommandLine& line, const char* value);

// Appends a "%s" word: the plain value in double quotes, or in single quotes.
void cmd_dq_word(CommandLine& line, const char* value);

// Appends echo "%s": kept for plain values that echo cannot take as its
// option; others go through printf, since the shell's echo rewrites
// backslashes even inside single quotes.
void cmd_echo(CommandLine& line, const char* value);

// Appends the value as the replacement of a sed s### expression standing
// inside single quotes. False (and the line marked) for a value with a
// newline.
bool cmd_sed_replacement(CommandLine& line, const char* value);

// Appends the value percent-encoded as a URL path segment (all but A-Z a-z
// 0-9 -._~).
void cmd_percent_encoded(CommandLine& line, const char* value);

}  // namespace util
