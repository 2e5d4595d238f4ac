// The figures of each run, left as a file for a monitoring agent.
// Prometheus text format (a node_exporter textfile collector reads such a
// folder).
#pragma once

#include "retention/retention.h"
#include "settings/settings.h"
#include "upload/pass.h"
#include "util/findings.h"

namespace app {

constexpr const char* kUploadMetrics = "vastrel_upload.prom";
constexpr const char* kRemoveMetrics = "vastrel_remove.prom";

// The metrics folder's verdict, nothing when it is unset: a name too long
// for its files' paths refuses them; check also says whether this user
// could write there. Changes nothing, logs nothing.
void metrics_verdict(const settings::ModuleSettings& s, util::Findings& findings);

// Replace the operation's file (kUploadMetrics, kRemoveMetrics) in the
// metrics folder atomically: a temporary file in the same folder, then
// rename, so a reader never sees half a file. Nothing when the folder is
// unset. A failure (a folder name too long, or the write) is one LOG_ERR
// line and leaves the previous file. The upload file carries over the last
// success time of the one it replaces. `ftp_timeout`: the FTP wait gave
// up, so the operation never ran.
void write_upload_metrics(const settings::ModuleSettings& s, const upload::Tally& tally,
                          bool ftp_timeout);
void write_remove_metrics(const settings::ModuleSettings& s, const retention::Tally& tally,
                          bool ftp_timeout);

}  // namespace app
