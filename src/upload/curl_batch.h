// Curl mode over one connection: a pass's files in one curl run.
#pragma once

#include <ctime>

#include "util/scandir.h"

namespace upload {

// Sends every file newer than the watermark through as few curl runs as
// possible, each logging in once; `config` holds the user line and bounds.
// False when the pass's first curl run shows that curl cannot report each
// transfer (older than 7.75): nothing was sent, and the caller sends the
// files one at a time.
bool upload_by_curl_batch(const util::Dir& dir, time_t watermark, const char* config);

}  // namespace upload
