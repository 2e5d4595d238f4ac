// Remote names and target URLs.
#include "upload/target.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

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

}  // namespace

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
