// Findings: formatted once, masked and escaped where a value goes in,
// never after (a format's own line ends stay).
#include "util/findings.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/cmdline.h"

namespace util {

namespace {

std::string vformatted(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, format, args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace

bool url_password(const char* url, size_t& start, size_t& length) {
  const char* authority = strstr(url, "://");
  authority = authority != nullptr ? authority + 3 : url;
  size_t span = strcspn(authority, "/");
  const char* at = static_cast<const char*>(memrchr(authority, '@', span));
  if (at == nullptr) return false;
  const char* colon = static_cast<const char*>(memchr(authority, ':', at - authority));
  if (colon == nullptr || colon + 1 == at) return false;
  start = static_cast<size_t>(colon + 1 - url);
  length = static_cast<size_t>(at - colon - 1);
  return true;
}

std::string masked_url(const char* url) {
  size_t start = 0;
  size_t length = 0;
  if (!url_password(url, start, length)) return url;
  return std::string(url, start) + "***" + (url + start + length);
}

std::string escaped(const char* text) {
  std::string shown;
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!is_control(c)) {
      shown += *p;
      continue;
    }
    // Three octal digits: a control character is at most 0177.
    shown += '\\';
    shown += static_cast<char>('0' + (c >> 6));
    shown += static_cast<char>('0' + ((c >> 3) & 7));
    shown += static_cast<char>('0' + (c & 7));
  }
  return shown;
}

std::string formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformatted(format, args);
  va_end(args);
  return text;
}

std::string Findings::printed(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformatted(format, args);
  va_end(args);
  return text;
}

bool Findings::refused() const {
  for (const Finding& finding : items_) {
    if (finding.kind == Kind::kRefusal) return true;
  }
  return false;
}

bool Findings::log_refusal() const {
  for (const Finding& finding : items_) {
    if (finding.kind != Kind::kRefusal) continue;
    syslog(LOG_ERR, "%s", finding.logged.c_str());
    return true;
  }
  return false;
}

unsigned Findings::blocking() const {
  unsigned count = 0;
  for (const Finding& finding : items_) {
    count += finding.kind == Kind::kRefusal || finding.kind == Kind::kProblem;
  }
  return count;
}

}  // namespace util
