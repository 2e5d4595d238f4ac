// curl as the transfers run it: its files, settings lines and failures.
// Shared by the upload and download passes: its scratch files, the
// integrator's settings, the configuration lines given on its standard
// input, and which of its failures mean the server cannot be used now.
#pragma once

#include "util/cmdline.h"
#include "util/command.h"
#include "util/findings.h"

namespace util {

// Found on PATH.
constexpr const char* kCurl = "curl";
// Every curl's standard error, read back into the log.
constexpr const char* kCurlError = "/var/vastrel/curl_error";
// The integrator's curl settings (TLS, CA, proxy), read by every curl the
// program runs ahead of its own configuration; the program never writes it.
constexpr const char* kCurlConfig = "/var/vastrel/curl_config";

// "-g " (curl's globbing off) when the URL holds [] or {}: curl would
// otherwise expand them and send or fetch other files than the one named.
void cmd_curl_glob_off(CommandLine& line, const char* url);

// What check says of the integrator's curl settings: a problem for each
// line that would change what the program relies on.
void curl_config_verdict(Findings& findings);

// Appends "-K " and kCurlConfig when the integrator's curl settings are
// `present` (looked up once a run): given ahead of the program's own
// "-K -", so that what the program relies on wins.
void cmd_curl_config(CommandLine& line, bool present);

// The same for a transfer after "next" in a curl configuration, which
// starts afresh: appends a config line that reads the file again.
void curl_config_again(CommandLine& config, bool present);

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

// The version of the curl on PATH as MAJOR * 10000 + MINOR * 100 + PATCH,
// from the first line "curl X.Y.Z ..." of curl --version; -1 when it
// cannot be run or read. Runs curl; changes nothing, logs nothing.
int curl_version();

// curl 7.75 first signs requests for object storage (--aws-sigv4).
constexpr int kCurlSigningVersion = 77500;

// True for a curl run whose exit code says the server as a whole cannot
// be used now, rather than that one file failed; false for one that did
// not exit (a signal ended it, or it did not start).
bool curl_server_unusable(ChildResult result);

}  // namespace util
