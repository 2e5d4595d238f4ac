// The download pass: remote files fetched into the scan folder.
// One file, or every file a remote directory lists, before an upload.
#pragma once

#include <vector>

#include "settings/settings.h"
#include "util/command.h"
#include "util/findings.h"

namespace download {

// The files to fetch, one URL a line: the listing, or the single URL.
constexpr const char* kDownloadList = "/var/vastrel/list";
// Prefixes each listed name with the download URL.
constexpr const char* kSed = "sed";
// Inside the scan folder, on its file system: each fetch is written here
// and renamed into the scan folder only once whole. The passes never select
// a folder.
constexpr const char* kFetchFolder = ".vastrel-fetch";

// What stands in the way of the download pass before it fetches anything
// (a run logs the first refusal and fetches nothing), and for check what
// it will fetch and whether every file it lists would be refused.
void download_verdict(const settings::ModuleSettings& s, util::Findings& findings);

// The tools the download pass runs for this URL.
std::vector<util::Tool> download_tools(const char* url);

// The pass; `record_fd` names each tool's process group while it runs.
void fetch_downloads(const settings::ModuleSettings& s, int record_fd);

}  // namespace download
