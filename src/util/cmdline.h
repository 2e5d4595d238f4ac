// Building shell command lines from templates with values that must reach
// their tool exactly: file names and listings come from strangers.
#pragma once

#include <cstddef>

namespace util {

constexpr size_t kCommandSize = 1024;  // at most 1023 characters

// Text appended into a caller's buffer; once something does not fit the
// line is marked and must not be run.
struct CommandLine {
  char* text;
  size_t size;
  size_t length;
  bool overflow;
};

CommandLine command_line(char* buffer, size_t size);

// True when the value holds only ASCII letters, digits and _@%+=:,./- and
// so reaches the shell safely as it stands.
bool is_plain(const char* value);

// True when the value holds a control character.
bool has_control(const char* value);

// True for a value that curl or ssh would read as an option (a leading "-").
bool reads_as_option(const char* value);

// Logs and returns true for a value that reads as an option.
bool refused_as_option(const char* what, const char* value);

// Template text, as it stands.
void cmd_raw(CommandLine& line, const char* text);
void cmd_char(CommandLine& line, char c);

// A bare %s: the plain value, or the value in single quotes.
void cmd_word(CommandLine& line, const char* value);

// A "%s" word: the plain value in double quotes, or in single quotes.
void cmd_dq_word(CommandLine& line, const char* value);

// echo "%s": kept for plain values; others go through printf, since the
// shell's echo rewrites backslashes even inside single quotes.
void cmd_echo(CommandLine& line, const char* value);

// The value as the replacement of a sed s### expression standing inside
// single quotes. False (and the line marked) for a value with a newline.
bool cmd_sed_replacement(CommandLine& line, const char* value);

// "-g " (curl's globbing off) when either value holds [] or {}: curl would
// otherwise expand them and send or fetch other files than the one named.
void cmd_curl_glob_off(CommandLine& line, const char* value, const char* other = "");

// "-K /var/vastrel/curl_config " when the integrator's curl settings are
// there: given ahead of the program's own "-K -", so that what the program
// relies on wins.
void cmd_curl_config(CommandLine& line);

// The same for a transfer after "next" in a curl configuration, which
// starts afresh: a config line that reads the file again.
void curl_config_again(CommandLine& config);

// The value percent-encoded as a URL path segment (all but A-Z a-z 0-9 -._~).
void cmd_percent_encoded(CommandLine& line, const char* value);

// The value as a quoted string of curl's configuration syntax.
void curl_config_string(CommandLine& config, const char* value);
// The same without the quotes, for a part of such a string.
void curl_config_text(CommandLine& config, const char* value);

// curl configuration lines, read by curl through "-K -" on its standard
// input, never from a command line.
// user="USER:PASSWORD" and a line end, when either is set; backslash and
// double quote are escaped for curl's quoted strings.
void curl_user_line(CommandLine& config, const char* user, const char* password);

// The bounds on a transfer: connecting and the server's first answers
// within `connect_timeout` seconds, and never `stall_timeout` seconds
// without a byte moving. A slow transfer that keeps moving is never cut.
// With `rate_limit` KiB/s, the transfer never goes faster.
void curl_bounds(CommandLine& config, unsigned connect_timeout, unsigned stall_timeout,
                 unsigned rate_limit);

// True for the wait status of a curl run that says the server as a whole
// cannot be used now, rather than that one file failed.
bool curl_server_unusable(int status);

}  // namespace util
