// The download pass: remote files fetched into the scan folder.
// One file, or every file a remote directory lists, before an upload.
#pragma once

#include <vector>

#include "util/command.h"

namespace download {

// The files to fetch, one URL a line: the listing, or the single URL.
constexpr const char* kDownloadList = "/var/vastrel/list";
// Prefixes each listed name with the download URL.
constexpr const char* kSed = "sed";

// The tools the download pass runs for this URL.
std::vector<util::Tool> download_tools(const char* url);

void fetch_downloads(const char* folder, const char* url, const char* user, const char* password);

}  // namespace download
