// The settings file: the key table and the reading rules.
#include "settings/settings.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/trusted.h"

namespace settings {

#define NUMBER(key, field, fallback) \
  { key, &ModuleSettings::field, nullptr, fallback, false }
#define TEXT(key, field, secret) \
  { key, nullptr, &ModuleSettings::field, 0, secret }
const SettingKey kSettingKeys[kSettingKeyCount] = {
    NUMBER("MOD_VASTREL_ENABLED", enabled, 0),
    TEXT("MOD_VASTREL_SCANFOLDER", scan_folder, false),
    NUMBER("MOD_VASTREL_DOWNLOAD", download, 0),
    TEXT("MOD_VASTREL_DOWNLOAD_URL", download_url, false),
    TEXT("MOD_VASTREL_DOWNLOAD_USER", download_user, false),
    TEXT("MOD_VASTREL_DOWNLOAD_PASSWD", download_passwd, true),
    TEXT("MOD_VASTREL_REMOTEURL", remote_url, false),
    TEXT("MOD_VASTREL_USERNAME", username, false),
    TEXT("MOD_VASTREL_PASSWORD", password, true),
    NUMBER("MOD_VASTREL_CHECKFTP", check_ftp, 0),
    NUMBER("MOD_VASTREL_REMOVEOLDER", remove_older, 0),
    NUMBER("MOD_VASTREL_TIMEUNIT", time_unit, 0),
    NUMBER("MOD_VASTREL_TIMECOUNT", time_count, 0),
    NUMBER("MOD_VASTREL_UINT_TYPE", uint_type, 0),
    NUMBER("MOD_VASTREL_UHOURS", uhours, 0),
    NUMBER("MOD_VASTREL_UDAY", uday, 0),
    NUMBER("MOD_VASTREL_RUPLOADED", ruploaded, 0),
    NUMBER("MOD_VASTREL_RINT_TYPE", rint_type, 0),
    NUMBER("MOD_VASTREL_RHOURS", rhours, 0),
    NUMBER("MOD_VASTREL_RDAY", rday, 0),
    TEXT("MOD_VASTREL_SSH_CONFIG", ssh_config, false),
    NUMBER("MOD_VASTREL_CONNECT_TIMEOUT", connect_timeout, kDefaultConnectTimeout),
    NUMBER("MOD_VASTREL_STALL_TIMEOUT", stall_timeout, kDefaultStallTimeout),
    NUMBER("MOD_VASTREL_CURL_BATCH", curl_batch, 0),
    TEXT("MOD_VASTREL_PARTIAL_SUFFIX", partial_suffix, false),
    NUMBER("MOD_VASTREL_SEND_ORDER", send_order, 0),
    TEXT("MOD_VASTREL_METRICS_DIR", metrics_dir, false),
    NUMBER("MOD_VASTREL_RATE_LIMIT", rate_limit, 0),
    NUMBER("MOD_VASTREL_START_SPREAD", start_spread, 0),
    NUMBER("MOD_VASTREL_MIN_AGE", min_age, 0),
    NUMBER("MOD_VASTREL_KEEP_FREE", keep_free, 0),
    NUMBER("MOD_VASTREL_KEEP_UNSENT", keep_unsent, 0),
    NUMBER("MOD_VASTREL_VERIFY", verify, 0),
    NUMBER("MOD_VASTREL_RESUME", resume, 0),
    TEXT("MOD_VASTREL_S3_ENDPOINT", s3_endpoint, false),
    TEXT("MOD_VASTREL_S3_REGION", s3_region, false),
    TEXT("MOD_VASTREL_DEVICE", device, false),
};
#undef NUMBER
#undef TEXT

namespace {

// The settings line: a fixed buffer that find_setting's result points
// into until the next read, so it outlives the call.
char line_buffer[kLineSize];

// The reading rules, in place: cut at the first CR, then the first LF, then
// the last double quote; the key is the text before the first "=", and one
// leading quote of the value is skipped.
void split_line(char* text, SettingLine& line) {
  text[strcspn(text, "\r")] = '\0';
  text[strcspn(text, "\n")] = '\0';
  line.cut = nullptr;
  if (char* quote = strrchr(text, '"')) {
    *quote = '\0';
    line.cut = quote + 1;  // still readable behind the new end
  }
  line.key = text;
  char* equals = strchr(text, '=');
  line.key_length = equals != nullptr ? static_cast<size_t>(equals - text) : strlen(text);
  line.value = nullptr;
  line.value_quoted = false;
  if (equals == nullptr) return;
  line.value = equals + 1;
  if (*line.value == '"') {
    ++line.value;
    line.value_quoted = true;
  }
}

}  // namespace

bool next_setting_line(FILE* file, SettingLine& line) {
  if (file == nullptr || fgets(line_buffer, sizeof line_buffer, file) == nullptr) return false;
  split_line(line_buffer, line);
  return true;
}

bool key_is(const SettingLine& line, const char* key) {
  return line.value != nullptr && line.key_length == strlen(key) &&
         strncasecmp(line.key, key, line.key_length) == 0;
}

const char* find_setting(FILE* file, const char* key) {
  if (file == nullptr) return nullptr;
  rewind(file);
  SettingLine line;
  while (next_setting_line(file, line)) {
    if (key_is(line, key)) return line.value;
  }
  return nullptr;
}

namespace {

char* copy_of(const char* value) {
  char* copy = strdup(value != nullptr ? value : "");
  if (copy == nullptr) abort();  // out of memory at start-up: nothing sane to do
  return copy;
}

}  // namespace

char* setting_string(FILE* file, const char* key) { return copy_of(find_setting(file, key)); }

uint32_t read_uint(const char* value) {
  unsigned number = 0;
  if (value == nullptr || sscanf(value, "%u", &number) != 1) return 0;
  return number;
}

uint32_t setting_uint(FILE* file, const char* key) { return read_uint(find_setting(file, key)); }

FILE* open_settings(const char* path, util::Findings& findings) {
  util::TrustedPath way;
  if (!util::open_trusted(path, O_RDONLY, way) && !way.refused) {
    errno = way.error;
    return nullptr;
  }
  // Root's file for root; a user's own file for a program run as that user.
  if (way.refused || way.st.st_uid != geteuid() || (way.st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    findings.refuse(kSettingsRefusal, path);
    errno = EPERM;
    return nullptr;
  }
  FILE* file = fdopen(way.fd.get(), "r");
  if (file != nullptr) way.fd.release();  // fclose closes it now
  return file;
}

void load_settings(ModuleSettings& s, const char* path, bool (*defaulted)[kSettingKeyCount]) {
  util::Findings unused(false);
  FILE* file = open_settings(path, unused);
  read_settings(s, file, defaulted);
  if (file != nullptr) fclose(file);
}

void read_settings(ModuleSettings& s, FILE* file, bool (*defaulted)[kSettingKeyCount]) {
  for (size_t k = 0; k < kSettingKeyCount; ++k) {
    const SettingKey& key = kSettingKeys[k];
    bool missing = false;
    if (key.text != nullptr) {
      const char* value = find_setting(file, key.name);
      missing = value == nullptr;
      s.*key.text = copy_of(value);
    } else {
      uint32_t value = setting_uint(file, key.name);
      missing = value == 0;
      s.*key.number = value != 0 ? value : key.fallback;
    }
    if (defaulted != nullptr) (*defaulted)[k] = missing;
  }
  // A resumed file is trusted only once the server holds its whole size.
  if (s.resume != 0 && s.partial_suffix[0] != '\0' && s.verify == 0) s.verify = 1;
}

}  // namespace settings
