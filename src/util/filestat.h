// File times and sizes: the watermark, reading them, stamping them.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>

namespace util {

// The watermark: files modified after this file's modification time are
// new. Something else moves it; the program only reads its time.
constexpr const char* kWatermark = "/var/data/vastrel/timestamp";

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
