// The download pass: remote files fetched into the scan folder.
// One file, or every file a remote directory lists, before an upload.
#pragma once

#include <cstddef>
#include <vector>

#include "settings/session.h"
#include "util/command.h"
#include "util/findings.h"

namespace download {

// The files to fetch, one URL a line: the listing, or the single URL.
constexpr const char* kDownloadList = "/var/vastrel/list";
// Prefixes each listed name with the download URL.
constexpr const char* kSed = "sed";
// Inside the scan folder, on its file system, each pass makes a private
// folder named this and 16 random hex digits, which no writer of the scan
// folder can take ahead of it; each fetch is written there and renamed
// into the scan folder only once whole. The passes never select a folder.
constexpr const char* kFetchPrefix = ".vastrel-fetch-";
constexpr size_t kFetchNameLength = 15 + 16;

// Decides what stands in the way of the download pass before it fetches
// anything (a run logs the first refusal and fetches nothing), and for
// check what it will fetch and whether every file it lists would be
// refused. Changes nothing, logs nothing.
void download_verdict(const settings::Session& session, util::Findings& findings);

// The tools the download pass runs for this URL: curl, and sed for a URL
// ending in "/" (a remote directory). Changes nothing, logs nothing.
std::vector<util::Tool> download_tools(const char* url);

// The pass of a run: removes the private folders killed passes left,
// makes its own, fetches each listed file there and renames what arrived
// whole (readable by all) into the scan folder (replacing what stood under
// its name), then removes its folder. Writes the list file kDownloadList,
// removed once the fetches are done (left when the listing fails), and
// curl's error file; the session's record names each tool's process group
// while it runs. Logs a refusal of the whole pass (LOG_ERR; nothing is
// fetched), each line refused (LOG_ERR), each download (LOG_NOTICE) and
// each failure (LOG_ERR).
void fetch_downloads(const settings::Session& session);

}  // namespace download
