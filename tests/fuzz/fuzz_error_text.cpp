// Any error file: both readers stay inside their buffers, the joined text
// ends in "; " whenever anything was read.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/filestat.h"
#include "util/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char path[] = "/tmp/fuzz-error-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);
  const char* line = util::read_error_line(path);
  if (strlen(line) > 63) abort();
  const char* text = util::read_error_text(path);
  size_t length = strlen(text);
  if (length > 2047) abort();
  if (memchr(data, '\0', size) == nullptr && size > 0 &&
      (length < 2 || strcmp(text + length - 2, "; ") != 0)) {
    abort();
  }
  unlink(path);
  return 0;
}
