// Remote names and target URLs.
#include "upload/target.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace upload {

namespace {

// Where the path of a URL starts, or null for a URL without one.
const char* url_path(const char* url) {
  const char* scheme = strstr(url, "://");
  return strchr(scheme != nullptr ? scheme + 3 : url, '/');
}

// A URL names a folder when it ends in "/" or has no path: curl then names
// the upload after the file.
bool names_folder(const char* url) {
  const char* path = url_path(url);
  return path == nullptr || url[strlen(url) - 1] == '/';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The fields, in the order of Field.
constexpr const char* kFields[] = {"{device}", "{Y}", "{m}", "{d}", "{H}", "{name}"};
enum Field { kAnyField = -1, kDevice = 0, kYear, kMonth, kDay, kHour, kName };
constexpr int kFieldCount = sizeof kFields / sizeof kFields[0];

// The field written at `p`, its length in `length`; kAnyField for none.
int field_at(const char* p, size_t& length) {
  if (*p != '{') return kAnyField;
  for (int field = 0; field < kFieldCount; ++field) {
    length = strlen(kFields[field]);
    if (strncmp(p, kFields[field], length) == 0) return field;
  }
  return kAnyField;
}

// Where the first field (or the first `only`) in [begin, end) starts, or null.
const char* find_field(const char* begin, const char* end, int only = kAnyField) {
  for (const char* p = begin; p < end; ++p) {
    size_t length = 0;
    int field = field_at(p, length);
    if (field != kAnyField && (only == kAnyField || field == only)) return p;
  }
  return nullptr;
}

// What the fields stand for, for one file.
struct Values {
  const char* device;
  const char* name;
  bool dated;
  struct tm date;  // UTC, when dated
};

// Appends [begin, end) of a URL with each field replaced by its value,
// percent-encoded when `encode`; false when a date field has no date.
bool expand(util::CommandLine& out, const char* begin, const char* end, const Values& values,
            bool encode) {
  for (const char* p = begin; p < end;) {
    size_t length = 0;
    int field = field_at(p, length);
    if (field == kAnyField) {
      util::cmd_char(out, *p++);
      continue;
    }
    p += length;
    char digits[16];
    const char* text = digits;
    const struct tm& t = values.date;
    switch (field) {
      case kDevice: text = values.device; break;
      case kName: text = values.name; break;
      case kYear: snprintf(digits, sizeof digits, "%04d", t.tm_year + 1900); break;
      case kMonth: snprintf(digits, sizeof digits, "%02d", t.tm_mon + 1); break;
      case kDay: snprintf(digits, sizeof digits, "%02d", t.tm_mday); break;
      default: snprintf(digits, sizeof digits, "%02d", t.tm_hour); break;
    }
    if (field != kDevice && field != kName && !values.dated) return false;
    if (encode) {
      util::cmd_percent_encoded(out, text);
    } else {
      util::cmd_raw(out, text);
    }
  }
  return true;
}

// The sftp batch's folder and name: the URL's path read as it stands (the
// client takes no percent-encoding), its last segment a folder unless it
// holds {name}. A folder only where the folders hold a field: the batch
// enters it; else the batch's own folder takes the file.
Placing sftp_place(const char* url, const Values& values, Target& out) {
  out.folder[0] = '\0';
  const char* path = url_path(url);
  util::CommandLine name = util::command_line(out.name, sizeof out.name);
  if (path == nullptr) {
    util::cmd_raw(name, values.name);
    return name.overflow ? Placing::kNameTooLong : Placing::kPlaced;
  }
  const char* end = path + strlen(path);
  const char* last = strrchr(path, '/') + 1;
  bool named = find_field(last, end, kName) != nullptr;
  const char* folder_end = named ? last : end;
  if (named) {
    expand(name, last, end, values, false);
  } else {
    util::cmd_raw(name, values.name);
  }
  if (name.overflow) return Placing::kNameTooLong;
  if (find_field(path, folder_end) == nullptr) return Placing::kPlaced;
  util::CommandLine folder = util::command_line(out.folder, sizeof out.folder);
  expand(folder, path, folder_end, values, false);
  if (folder_end[-1] != '/') util::cmd_char(folder, '/');
  return folder.overflow ? Placing::kTooLong : Placing::kPlaced;
}

}  // namespace

bool has_fields(const char* remote_url) {
  return find_field(remote_url, remote_url + strlen(remote_url)) != nullptr;
}

bool names_each_file(const char* remote_url) {
  const char* path = url_path(remote_url);
  return names_folder(remote_url) ||
         find_field(strrchr(path, '/'), remote_url + strlen(remote_url), kName) != nullptr;
}

bool makes_folders(const char* remote_url) {
  const char* path = url_path(remote_url);
  if (path == nullptr || strncasecmp(remote_url, "http", 4) == 0 || is_s3(remote_url)) return false;
  return find_field(path, strrchr(path, '/')) != nullptr;
}

size_t fixed_folder_length(const char* path) {
  const char* field = find_field(path, path + strlen(path));
  if (field == nullptr) return strlen(path);
  const char* slash = field;
  while (slash > path && *slash != '/') --slash;
  return static_cast<size_t>(slash - path) + 1;
}

Placing place_file(const settings::Session& session, const char* name, time_t date, Target& out) {
  const char* url = session.cfg.remote_url;
  const char* suffix = session.cfg.partial_suffix;
  Values values{settings::device_name(session), name, date >= 0, {}};
  if (values.dated && gmtime_r(&date, &values.date) == nullptr) values.dated = false;
  char expanded_buffer[util::kCommandSize];
  const char* expanded = url;
  if (has_fields(url)) {
    util::CommandLine text = util::command_line(expanded_buffer, sizeof expanded_buffer);
    // An object's key is encoded once whole, as it is signed.
    if (!expand(text, url, url + strlen(url), values, !is_s3(url))) return Placing::kNoDate;
    if (text.overflow) return Placing::kTooLong;
    expanded = expanded_buffer;
  }
  char url_buffer[util::kCommandSize];
  const char* target =
      target_url(url_buffer, expanded, name, upload_suffix(url, suffix), session.cfg.s3_endpoint);
  if (target == nullptr) return Placing::kTooLong;
  memcpy(out.url, target, strlen(target) + 1);  // both hold at most kCommandSize
  out.folder[0] = '\0';
  if (uses_sftp(url)) {
    Placing placed = sftp_place(url, values, out);
    if (placed != Placing::kPlaced) return placed;
  } else if (!remote_name(out.name, expanded, name)) {
    // Only a rename names the file: without a suffix curl takes the URL.
    if (suffix[0] != '\0') return Placing::kNameTooLong;
    out.name[0] = '\0';
  }
  if (strlen(out.name) + strlen(suffix) >= util::kPathSize) return Placing::kNameTooLong;
  return Placing::kPlaced;
}

void fields_verdict(const settings::Session& session, util::Findings& findings) {
  const char* url = session.cfg.remote_url;
  const char* end = url + strlen(url);
  const char* path = url_path(url);
  if (find_field(url, path != nullptr ? path : end) != nullptr) {
    findings.refuse("Remote URL %s holds a field before its path, nothing is sent", util::Url{url});
  }
  if (path != nullptr && find_field(path, strrchr(path, '/'), kName) != nullptr) {
    findings.refuse("Remote URL %s holds {name} before its last segment, nothing is sent",
                    util::Url{url});
  }
  if (find_field(url, end, kDevice) != nullptr) {
    const char* device = settings::device_name(session);
    bool keyed = session.cfg.device != nullptr && session.cfg.device[0] != '\0';
    findings.note("  device %s (%s)\n", device, keyed ? "MOD_VASTREL_DEVICE" : "the host name");
    if (!settings::usable_device(device)) findings.refuse(settings::kDeviceRefusal, device);
  }
  for (const char* open = strchr(url, '{'); open != nullptr; open = strchr(open + 1, '{')) {
    size_t length = 0;
    const char* close = strchr(open, '}');
    if (close == nullptr || field_at(open, length) != kAnyField) continue;
    findings.warn("%s in the remote URL is no field: it stays as written",
                  std::string(open, close + 1));
  }
}

bool uses_sftp(const char* remote_url) {
  return !is_s3(remote_url) && strstr(remote_url, "sftp") != nullptr;
}

bool can_rename(const char* remote_url) {
  return uses_sftp(remote_url) || strncasecmp(remote_url, "ftp://", 6) == 0 ||
         strncasecmp(remote_url, "ftps://", 7) == 0;
}

const char* name_of(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

bool remote_name(char (&out)[util::kPathSize], const char* remote_url, const char* path) {
  if (names_folder(remote_url)) {
    return snprintf(out, sizeof out, "%s", name_of(path)) < static_cast<int>(sizeof out);
  }
  size_t length = 0;
  for (const char* p = strrchr(remote_url, '/') + 1; *p != '\0'; ++p) {
    if (length + 1 >= sizeof out) return false;
    int high = p[0] == '%' ? hex_value(p[1]) : -1;
    int low = high >= 0 ? hex_value(p[2]) : -1;
    if (low >= 0) {
      out[length++] = static_cast<char>(high * 16 + low);
      p += 2;
    } else {
      out[length++] = *p;
    }
  }
  out[length] = '\0';
  return true;
}

bool remote_name_fits(const char* remote_url, const char* path, const char* suffix) {
  char name[util::kPathSize];
  return remote_name(name, remote_url, path) && strlen(name) + strlen(suffix) < util::kPathSize;
}

bool is_s3(const char* remote_url) { return strncasecmp(remote_url, "s3://", 5) == 0; }

const char* upload_suffix(const char* remote_url, const char* partial_suffix) {
  return is_s3(remote_url) ? "" : partial_suffix;
}

bool fits_one_upload(const char* remote_url, int64_t size) {
  return !is_s3(remote_url) || size <= kS3MaxObject;
}

bool s3_bucket(char (&out)[256], const char* remote_url) {
  const char* bucket = remote_url + 5;
  size_t length = strcspn(bucket, "/");
  if (length == 0 || length >= sizeof out) return false;
  memcpy(out, bucket, length);
  out[length] = '\0';
  return true;
}

bool s3_remote_path(char (&out)[util::kPathSize], const char* remote_url, const char* path) {
  const char* prefix = strchr(remote_url + 5, '/');
  prefix = prefix != nullptr ? prefix + 1 : "";
  const char* name = names_folder(remote_url) ? name_of(path) : "";
  return snprintf(out, sizeof out, "%s%s", prefix, name) < static_cast<int>(sizeof out);
}

const char* s3_object_url(char (&out)[util::kCommandSize], const char* endpoint,
                          const char* remote_url, const char* key) {
  char bucket[256];
  if (!s3_bucket(bucket, remote_url)) return nullptr;
  util::CommandLine url = util::command_line(out, sizeof out);
  util::cmd_raw(url, endpoint);
  if (endpoint[0] == '\0' || endpoint[strlen(endpoint) - 1] != '/') util::cmd_char(url, '/');
  util::cmd_percent_encoded(url, bucket);
  util::cmd_char(url, '/');
  // Each segment as Signature V4 wants it; the "/" between them as it is.
  for (const char* segment = key;;) {
    size_t length = strcspn(segment, "/");
    char piece[util::kPathSize];
    memcpy(piece, segment, length);
    piece[length] = '\0';
    util::cmd_percent_encoded(url, piece);
    if (segment[length] == '\0') break;
    util::cmd_char(url, '/');
    segment += length + 1;
  }
  return url.overflow ? nullptr : out;
}

const char* folder_url(char (&out)[util::kCommandSize], const char* remote_url) {
  if (!names_folder(remote_url)) return nullptr;
  bool slash = url_path(remote_url) == nullptr;
  return snprintf(out, sizeof out, "%s%s", remote_url, slash ? "/" : "") <
                 static_cast<int>(sizeof out)
             ? out
             : nullptr;
}

const char* target_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path,
                       const char* suffix, const char* endpoint) {
  if (is_s3(remote_url)) {
    char key[util::kPathSize];
    if (!s3_remote_path(key, remote_url, path)) return nullptr;
    return s3_object_url(out, endpoint, remote_url, key);
  }
  bool folder = names_folder(remote_url);
  if (!folder && suffix[0] == '\0') return remote_url;
  util::CommandLine url = util::command_line(out, sizeof out);
  util::cmd_raw(url, remote_url);
  if (folder && url_path(remote_url) == nullptr) util::cmd_char(url, '/');
  if (folder) util::cmd_percent_encoded(url, name_of(path));
  util::cmd_percent_encoded(url, suffix);
  return url.overflow ? nullptr : out;
}

}  // namespace upload
