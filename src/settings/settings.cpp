#include "settings/settings.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

namespace settings {

ModuleSettings cfg;

namespace {

char line_buffer[16384];

// Applies the line rules in place; returns the value when the key matches.
const char* match_line(char* line, const char* key) {
  line[strcspn(line, "\r")] = '\0';
  line[strcspn(line, "\n")] = '\0';
  if (char* quote = strrchr(line, '"')) *quote = '\0';
  char* equals = strchr(line, '=');
  if (equals == nullptr) return nullptr;
  size_t key_length = static_cast<size_t>(equals - line);
  if (key_length != strlen(key) || strncasecmp(line, key, key_length) != 0) return nullptr;
  const char* value = equals + 1;
  if (*value == '"') ++value;
  return value;
}

}  // namespace

const char* find_setting(FILE* file, const char* key) {
  if (file == nullptr) return nullptr;
  rewind(file);
  while (fgets(line_buffer, sizeof line_buffer, file) != nullptr) {
    if (const char* value = match_line(line_buffer, key)) return value;
  }
  return nullptr;
}

char* setting_string(FILE* file, const char* key) {
  const char* value = find_setting(file, key);
  char* copy = strdup(value != nullptr ? value : "");
  if (copy == nullptr) abort();  // out of memory at start-up: nothing sane to do
  return copy;
}

uint32_t setting_uint(FILE* file, const char* key) {
  const char* value = find_setting(file, key);
  unsigned number = 0;
  if (value == nullptr || sscanf(value, "%u", &number) != 1) return 0;
  return number;
}

void load_settings(ModuleSettings& s, const char* path) {
  FILE* file = fopen(path, "r");
  s.enabled = setting_uint(file, "MOD_VASTREL_ENABLED");
  s.scan_folder = setting_string(file, "MOD_VASTREL_SCANFOLDER");
  s.download = setting_uint(file, "MOD_VASTREL_DOWNLOAD");
  s.download_url = setting_string(file, "MOD_VASTREL_DOWNLOAD_URL");
  s.download_user = setting_string(file, "MOD_VASTREL_DOWNLOAD_USER");
  s.download_passwd = setting_string(file, "MOD_VASTREL_DOWNLOAD_PASSWD");
  s.remote_url = setting_string(file, "MOD_VASTREL_REMOTEURL");
  s.username = setting_string(file, "MOD_VASTREL_USERNAME");
  s.password = setting_string(file, "MOD_VASTREL_PASSWORD");
  s.check_ftp = setting_uint(file, "MOD_VASTREL_CHECKFTP");
  s.remove_older = setting_uint(file, "MOD_VASTREL_REMOVEOLDER");
  s.time_unit = setting_uint(file, "MOD_VASTREL_TIMEUNIT");
  s.time_count = setting_uint(file, "MOD_VASTREL_TIMECOUNT");
  s.uint_type = setting_uint(file, "MOD_VASTREL_UINT_TYPE");
  s.uhours = setting_uint(file, "MOD_VASTREL_UHOURS");
  s.uday = setting_uint(file, "MOD_VASTREL_UDAY");
  s.ruploaded = setting_uint(file, "MOD_VASTREL_RUPLOADED");
  s.rint_type = setting_uint(file, "MOD_VASTREL_RINT_TYPE");
  s.rhours = setting_uint(file, "MOD_VASTREL_RHOURS");
  s.rday = setting_uint(file, "MOD_VASTREL_RDAY");
  s.ssh_config = setting_string(file, "MOD_VASTREL_SSH_CONFIG");
  s.connect_timeout = setting_uint(file, "MOD_VASTREL_CONNECT_TIMEOUT");
  if (s.connect_timeout == 0) s.connect_timeout = kDefaultConnectTimeout;
  s.stall_timeout = setting_uint(file, "MOD_VASTREL_STALL_TIMEOUT");
  if (s.stall_timeout == 0) s.stall_timeout = kDefaultStallTimeout;
  if (file != nullptr) fclose(file);
}

}  // namespace settings
