// File times and sizes, tool error text, and stamping file times.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>

namespace util {

// The watermark: files modified after this file's modification time are
// new. Something else moves it; the program only reads its time.
constexpr const char* kWatermark = "/var/data/vastrel/timestamp";

// Modification time in seconds; 0 when stat fails.
time_t file_mtime(const char* path);

// Size in bytes; 0 when stat fails, so a missing error file reads as empty.
int64_t file_size(const char* path);

// First line of the file, at most 63 characters, line end removed.
// Per-thread buffer, overwritten by the next call.
const char* read_error_line(const char* path);

// Every line of the file, each followed by "; ", at most 2047 characters.
// Process-wide buffer, overwritten by the next call.
const char* read_error_text(const char* path);

// Sets access and modification time to `seconds`; logs a failure.
void stamp_file_times(const char* path, time_t seconds);

// Joins folder and name into `out`; false (and nothing usable) when the
// result would not fit, since a cut path can name another file.
bool join_path(char* out, size_t size, const char* folder, const char* name);

}  // namespace util
