// The settings file as check tells it: values as read, likely mistakes.
#include "settings/lint.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace settings {

namespace {

constexpr const char* kPrefix = "MOD_VASTREL_";

// The keys whose URL may hold a password, and where it belongs instead.
struct UrlKey {
  const char* url;
  const char* password;
};
constexpr UrlKey kUrlKeys[] = {{"MOD_VASTREL_REMOTEURL", "MOD_VASTREL_PASSWORD"},
                               {"MOD_VASTREL_DOWNLOAD_URL", "MOD_VASTREL_DOWNLOAD_PASSWD"}};

const SettingKey* known_key(const char* key, size_t length) {
  for (const SettingKey& k : kSettingKeys) {
    if (strlen(k.name) == length && strncasecmp(k.name, key, length) == 0) return &k;
  }
  return nullptr;
}

// The key of a line with the blanks around it set aside (for a line
// without "=", its first word).
void trimmed_key(const SettingLine& line, const char*& key, size_t& length) {
  key = line.key + strspn(line.key, " \t");
  length = line.key_length - static_cast<size_t>(key - line.key);
  if (line.value == nullptr) length = strcspn(key, " \t");
  while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == '\t')) --length;
}

// A text value as it is shown: secrets only as set or empty, URLs without
// their password.
std::string shown_text(const SettingKey& k, const char* text) {
  if (k.secret) return *text != '\0' ? "(set)" : "(empty)";
  return *text != '\0' ? util::masked_url(text) : "\"\"";
}

void values(const ModuleSettings& s, const bool (&defaulted)[kSettingKeyCount],
            util::Findings& findings) {
  for (size_t n = 0; n < kSettingKeyCount; ++n) {
    const SettingKey& k = kSettingKeys[n];
    std::string shown = k.text != nullptr ? shown_text(k, s.*k.text) : std::to_string(s.*k.number);
    findings.note("  %-28s %s%s\n", k.name, shown.c_str(), defaulted[n] ? "   (default)" : "");
  }
}

// A number whose text is not what "%u" makes of it ("12days", "-1", "x").
void check_number(util::Findings& findings, unsigned line_no, const SettingKey& k,
                  const char* value) {
  std::string read = std::to_string(read_uint(value));
  if (read == value) return;
  findings.warn("line %u: %s=%s reads as %s%s", line_no, k.name, value, read.c_str(),
                k.fallback != 0 && read == "0" ? ", which means the default" : "");
}

// A URL with a password puts it on the tool's command line.
void check_url_password(util::Findings& findings, unsigned line_no, const SettingKey& k,
                        const char* value) {
  size_t start = 0;
  size_t length = 0;
  for (const UrlKey& u : kUrlKeys) {
    if (strcmp(k.name, u.url) != 0 || !util::url_password(value, start, length)) continue;
    findings.warn(
        "line %u: %s holds a password, which then stands on a command line that every local "
        "user can read; put it in %s instead",
        line_no, k.name, u.password);
  }
}

// A line that sets a known key: set again, a number that is not one, a
// password in a URL, a value cut at an inner quote.
void check_read_line(util::Findings& findings, unsigned line_no, const SettingLine& line,
                     const SettingKey& k, unsigned& first) {
  if (first != 0) {
    findings.warn("line %u: %s is set again; only line %u counts", line_no, k.name, first);
    return;
  }
  first = line_no;
  if (k.number != nullptr) check_number(findings, line_no, k, line.value);
  check_url_password(findings, line_no, k, line.value);
  if (line.cut != nullptr && !(line.value_quoted && *line.cut == '\0')) {
    std::string shown = k.secret ? std::to_string(strlen(line.value)) + " characters (not shown)"
                                 : "\"" + util::masked_url(line.value) + "\"";
    findings.warn("line %u: the value of %s is cut at its last double quote and reads as %s",
                  line_no, k.name, shown.c_str());
  }
}

// What the reading rules make of a line that seems meant for a key.
void check_line(util::Findings& findings, unsigned line_no, const SettingLine& line,
                unsigned (&first_line)[kSettingKeyCount]) {
  if (const SettingKey* k = known_key(line.key, line.key_length); k && line.value != nullptr) {
    check_read_line(findings, line_no, line, *k, first_line[k - kSettingKeys]);
    return;
  }
  const char* key = nullptr;
  size_t length = 0;
  trimmed_key(line, key, length);
  if (const SettingKey* k = known_key(key, length)) {
    if (line.value == nullptr) {
      findings.warn("line %u: names %s but holds no \"=\": not read", line_no, k->name);
    } else {
      findings.warn(
          "line %u: \"%s\" is not read as %s: %s", line_no, std::string(line.key, line.key_length),
          k->name,
          key != line.key ? "a blank stands before the key" : "a blank stands before \"=\"");
    }
  } else if (line.value != nullptr && length >= strlen(kPrefix) &&
             strncasecmp(key, kPrefix, strlen(kPrefix)) == 0) {
    findings.warn("line %u: %s is not a known key (a typo?): ignored", line_no,
                  std::string(key, length));
  }
}

}  // namespace

void settings_verdict(ModuleSettings& s, util::Findings& findings, const char* path) {
  bool defaulted[kSettingKeyCount] = {};
  FILE* file = open_settings(path, findings);
  int error = errno;
  read_settings(s, file, &defaulted);
  if (file == nullptr) {
    findings.note("Settings file %s: cannot be read (%s): every key takes its default\n", path,
                  strerror(error));
  } else {
    findings.note("Settings file %s: read\n", path);
  }
  values(s, defaulted, findings);
  if (file == nullptr) return;
  unsigned first_line[kSettingKeyCount] = {};
  unsigned line_no = 0;
  SettingLine line;
  rewind(file);
  while (next_setting_line(file, line)) check_line(findings, ++line_no, line, first_line);
  fclose(file);
}

}  // namespace settings
