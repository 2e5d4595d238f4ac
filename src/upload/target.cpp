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

bool uses_sftp(const char* remote_url) { return strstr(remote_url, "sftp") != nullptr; }

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

const char* folder_url(char (&out)[util::kCommandSize], const char* remote_url) {
  if (!names_folder(remote_url)) return nullptr;
  bool slash = url_path(remote_url) == nullptr;
  return snprintf(out, sizeof out, "%s%s", remote_url, slash ? "/" : "") <
                 static_cast<int>(sizeof out)
             ? out
             : nullptr;
}

const char* target_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path,
                       const char* suffix) {
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
