// Settings file reading and the process-wide settings record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "util/findings.h"

namespace settings {

constexpr uint32_t kDefaultConnectTimeout = 30;
constexpr uint32_t kDefaultStallTimeout = 120;

struct ModuleSettings {
  uint32_t enabled = 0;
  const char* scan_folder = nullptr;
  uint32_t download = 0;
  const char* download_url = nullptr;
  const char* download_user = nullptr;
  const char* download_passwd = nullptr;
  const char* remote_url = nullptr;
  const char* username = nullptr;
  const char* password = nullptr;
  uint32_t check_ftp = 0;
  uint32_t remove_older = 0;
  uint32_t time_unit = 0;
  uint32_t time_count = 0;
  uint32_t uint_type = 0;
  uint32_t uhours = 0;
  uint32_t uday = 0;
  uint32_t ruploaded = 0;
  uint32_t rint_type = 0;
  uint32_t rhours = 0;
  uint32_t rday = 0;
  const char* ssh_config = nullptr;
  // Bounds on every transfer, in seconds; a 0 or missing key gives the default.
  uint32_t connect_timeout = kDefaultConnectTimeout;
  uint32_t stall_timeout = kDefaultStallTimeout;
  // Non-zero: curl mode sends a pass's files in one curl run.
  uint32_t curl_batch = 0;
  // Non-empty: each file is written under its name plus this text and
  // renamed once whole, so the server never shows a cut file by its name.
  const char* partial_suffix = nullptr;
  // The order new files go in: 0 as listed, 1 oldest first, 2 newest first.
  uint32_t send_order = 0;
  // Non-empty: every run leaves its figures here for a monitoring agent.
  const char* metrics_dir = nullptr;
  // KiB/s every transfer may use at most; 0 for no limit.
  uint32_t rate_limit = 0;
  // Seconds: an upload run first waits a delay below this, fixed per device.
  uint32_t start_spread = 0;
  // Seconds a new file must have gone unmodified, and no longer be open for
  // writing, before it is sent; 0 sends every new file.
  uint32_t min_age = 0;
  // Percent of the scan folder's file system that remove keeps available,
  // deleting sent files first; 0 leaves the disk to the age rule alone.
  uint32_t keep_free = 0;
  // Non-zero: the age rule passes by unsent files (newer than the
  // watermark); only the free-space rule may take them.
  uint32_t keep_unsent = 0;
  // Non-zero: a sent file is disposed of only once the server tells that
  // it holds the file's size under its final name.
  uint32_t verify = 0;
  // Non-zero, with a partial suffix: a cut transfer goes on from the bytes
  // the server holds under the temporary name, when a record proves they
  // are this file's; implies verify.
  uint32_t resume = 0;
  // Object storage (an s3:// remote URL): where its requests go, as
  // "http(s)://HOST[:PORT]", and the region they are signed for ("" for
  // kDefaultS3Region).
  const char* s3_endpoint = nullptr;
  const char* s3_region = nullptr;
  // What {device} in the remote URL stands for; empty: the host name.
  const char* device = nullptr;
};

constexpr const char* kDefaultS3Region = "us-east-1";

constexpr const char* kSettingsPath = "/opt/vastrel/etc/settings";
constexpr size_t kLineSize = 16384;  // longer lines are read in pieces

// One key of the settings file and the field it fills: a number (read as
// "%u"; 0 or missing gives `fallback`) or a text (missing gives "").
struct SettingKey {
  const char* name;
  uint32_t ModuleSettings::*number;
  const char* ModuleSettings::*text;
  uint32_t fallback;
  bool secret;
};
constexpr size_t kSettingKeyCount = 37;
extern const SettingKey kSettingKeys[kSettingKeyCount];

constexpr const char* kSettingsRefusal =
    "Settings file %s can be changed by others than root, nothing is done";

// Opens the settings file for reading when no one but root can change it
// (the program's own user, when it does not run as root): reached along a
// way only root can change (util::open_trusted), owned by root (by this
// user), and not writable by group or others. Null otherwise: refused
// (kSettingsRefusal added to `findings`), or not opened (errno set;
// ENOENT for a missing file). The caller ends it with fclose.
FILE* open_settings(const char* path, util::Findings& findings);

// Fills every field from the open settings file; null gives defaults.
// Texts are heap copies, never freed by the program (out of memory ends
// the process). With `defaulted`, marks each key (in table order) that
// took its default: missing, or a number that reads as 0. MOD_VASTREL_RESUME
// with a suffix sets verify. Only reads the file; logs nothing.
void read_settings(ModuleSettings& settings, FILE* file,
                   bool (*defaulted)[kSettingKeyCount] = nullptr);

// Fills every field from the file at `path` as open_settings opens it; a
// missing or refused file gives defaults.
void load_settings(ModuleSettings& settings, const char* path = kSettingsPath,
                   bool (*defaulted)[kSettingKeyCount] = nullptr);

// One line (or piece of a line) under the reading rules. `value` is null
// for a line without "="; `cut` is the text dropped behind the line's last
// double quote, or null when it held none.
struct SettingLine {
  const char* key;  // key_length characters, not terminated
  size_t key_length;
  const char* value;
  bool value_quoted;  // one leading quote was skipped
  const char* cut;
};

// Reads the next line of `file` into `line` as every lookup does; false at
// the end or for a null file. The line lives in a shared buffer that the
// next read overwrites. Logs nothing.
bool next_setting_line(FILE* file, SettingLine& line);

// True when the line sets `key` (letter case aside); false for a line
// without "=". Changes nothing.
bool key_is(const SettingLine& line, const char* key);

// Rewinds `file` and returns the value of the first line whose key
// matches, or null (also for a null file). Points into a shared buffer
// that the next lookup overwrites. Logs nothing.
const char* find_setting(FILE* file, const char* key);

// A heap copy of the value, or a new empty string when it is missing; never
// freed by the program. Out of memory ends the process (abort). Logs
// nothing.
char* setting_string(FILE* file, const char* key);

// The value read as "%u" reads it; 0 when missing (null) or not a number.
// setting_uint rewinds and reads `file`; neither logs.
uint32_t setting_uint(FILE* file, const char* key);
uint32_t read_uint(const char* value);

}  // namespace settings
