// Settings file reading and the process-wide settings record.
#pragma once

#include <cstdint>
#include <cstdio>

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
};

// Filled once before any operation, read-only afterwards.
extern ModuleSettings cfg;

constexpr const char* kSettingsPath = "/opt/vastrel/etc/settings";

// Fills every field from the file at `path`; a missing file gives defaults.
void load_settings(ModuleSettings& settings, const char* path = kSettingsPath);

// The value of the first line whose key matches, or null. Points into a
// shared buffer that the next lookup overwrites.
const char* find_setting(FILE* file, const char* key);

// A heap copy of the value, or a new empty string; never freed by the program.
char* setting_string(FILE* file, const char* key);

// The value read as "%u" reads it; 0 when missing or not a number.
uint32_t setting_uint(FILE* file, const char* key);

}  // namespace settings
