// The download pass: fetching one file or a remote directory into the scan
// folder before an upload.
#pragma once

namespace download {

void fetch_downloads(const char* folder, const char* url, const char* user, const char* password);

}  // namespace download
