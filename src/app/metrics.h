// The figures of each run, left as a file for a monitoring agent.
// Prometheus text format (a node_exporter textfile collector reads such a
// folder).
#pragma once

namespace app {

constexpr const char* kUploadMetrics = "vastrel_upload.prom";
constexpr const char* kRemoveMetrics = "vastrel_remove.prom";

// Replaces the operation's file in `folder` atomically (a temporary file
// in the same folder, then rename); a failure is one err line. `ftp_timeout`:
// the FTP wait gave up, so the operation never ran.
void write_upload_metrics(const char* folder, bool ftp_timeout);
void write_remove_metrics(const char* folder, bool ftp_timeout);

}  // namespace app
