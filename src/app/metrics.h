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

// The metrics folder: a name too long for its files refuses them; check
// also says whether this user could write there.
void metrics_verdict(const settings::ModuleSettings& s, util::Findings& findings);

// Replace the operation's file in the metrics folder atomically (a
// temporary file in the same folder, then rename); a failure is one err
// line. `ftp_timeout`: the FTP wait gave up, so the operation never ran.
void write_upload_metrics(const settings::ModuleSettings& s, const upload::Tally& tally,
                          bool ftp_timeout);
void write_remove_metrics(const settings::ModuleSettings& s, const retention::Tally& tally,
                          bool ftp_timeout);

}  // namespace app
