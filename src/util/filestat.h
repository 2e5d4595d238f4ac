// File times and sizes: the watermark, reading them, stamping them.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>

#include "util/trusted.h"

namespace util {

// The watermark: files modified after this file's modification time are
// new. Something else moves it; the program only reads its time.
constexpr const char* kWatermark = "/var/data/vastrel/timestamp";
constexpr const char* kWatermarkFolder = "/var/data/vastrel";
constexpr const char* kWatermarkName = "timestamp";
constexpr const char* kWatermarkWayRefusal =
    "Timestamp folder %s is reached through %s, which user %u can change, it is not read";

// The watermark's status into `st`, read in its folder reached along a way
// only root can change (`way` tells why not); false (errno set) when it
// cannot be read. Changes nothing, logs nothing.
bool watermark_status(struct stat& st, TrustedPath& way);

// The watermark's modification time; 0 when it cannot be read. A way that
// others can change reads as 0 too and logs kWatermarkWayRefusal (LOG_ERR).
time_t watermark_mtime();

// Modification time in seconds (a link followed); 0 when stat fails.
// Changes nothing, logs nothing.
time_t file_mtime(const char* path);

// Size in bytes; 0 when stat fails, so a missing error file reads as empty.
// Changes nothing, logs nothing.
int64_t file_size(const char* path);

// A time as a person reads it ("2026-12-09 14:35:00 UTC"), or its number
// of seconds where the calendar cannot hold it. Changes nothing.
struct UtcText {
  char text[32];
};
UtcText utc_text(time_t seconds);

// Sets access and modification time of the open file `fd` (named `path`
// in the log) to `seconds`. A failure leaves the times and is logged at
// LOG_NOTICE ("modification of file PATH failed").
void stamp_file_times(int fd, const char* path, time_t seconds);

}  // namespace util
