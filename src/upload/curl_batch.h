// The curl batch mode: a pass's files in as few curl runs as possible.
#pragma once

#include <cstdio>
#include <ctime>

#include "util/scandir.h"

namespace upload {

// Each transfer's outcome line, written by curl as it ends the transfer.
constexpr const char* kCurlResults = "/var/vastrel/curl_results";
// The named configuration file, where the scratch folder's file system has
// no unnamed ones; a mkstemp template.
constexpr char kCurlBatchConfig[] = "/var/vastrel/curl_batch.XXXXXX";

// Sends every file newer than the watermark through as few curl runs as
// possible, each logging in once; `config` holds the user line and bounds.
// False when the pass's first curl run shows that curl cannot report each
// transfer (older than 7.75): nothing was sent, and the caller sends the
// files one at a time.
bool upload_by_curl_batch(const util::Dir& dir, time_t watermark, const char* config);

// Reads the outcome of the next transfer from the results: its exit code,
// and "curl: (N) TEXT" as curl itself prints a failure. False when the run
// reported none (no line, or one that does not start with a number).
bool next_outcome(FILE* results, int& code, char (&message)[512]);

}  // namespace upload
