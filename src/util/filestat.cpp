#include "util/filestat.h"

#include <sys/time.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>

namespace util {

namespace {

thread_local char error_line[64];
char error_text[2048];
struct timeval stamp_times[2];

// Cuts at the first line end that follows a character that is not one;
// line ends at the very start stay.
void cut_line_end(char* text) {
  char* rest = text + strspn(text, "\r\n");
  rest[strcspn(rest, "\r\n")] = '\0';
}

}  // namespace

time_t file_mtime(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_mtime : 0;
}

int64_t file_size(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

const char* read_error_line(const char* path) {
  error_line[0] = '\0';
  FILE* file = fopen(path, "r");
  if (file == nullptr) return error_line;
  if (fgets(error_line, sizeof error_line, file) != nullptr) cut_line_end(error_line);
  fclose(file);
  return error_line;
}

const char* read_error_text(const char* path) {
  error_text[0] = '\0';
  FILE* file = fopen(path, "r");
  if (file == nullptr) return error_text;
  size_t length = 0;
  // Room for "; " and the terminator stays after every piece.
  while (length + 3 < sizeof error_text) {
    char* piece = error_text + length;
    if (fgets(piece, static_cast<int>(sizeof error_text - length - 2), file) == nullptr) break;
    bool whole = strchr(piece, '\n') != nullptr || feof(file);
    cut_line_end(error_text);
    length = strlen(error_text);
    memcpy(error_text + length, "; ", 3);
    length += 2;
    if (!whole) break;  // a line that did not fit whole ends the reading
  }
  fclose(file);
  return error_text;
}

void stamp_file_times(const char* path, time_t seconds) {
  stamp_times[0].tv_sec = seconds;
  stamp_times[0].tv_usec = 0;
  stamp_times[1] = stamp_times[0];
  if (utimes(path, stamp_times) != 0) {
    syslog(LOG_NOTICE, "modification of file %s failed: %m", path);
  }
}

bool join_path(char* out, size_t size, const char* folder, const char* name) {
  // Called for every folder entry: plain copies, no formatting.
  size_t folder_length = strlen(folder);
  size_t name_length = strlen(name);
  if (folder_length + 1 + name_length >= size) return false;
  memcpy(out, folder, folder_length);
  out[folder_length] = '/';
  memcpy(out + folder_length + 1, name, name_length + 1);
  return true;
}

}  // namespace util
