// curl, one file at a time: the command line, the attempts, the verdict.
// Also what the curl batch falls back on for a file that failed in it.
#pragma once

#include <vector>

#include "settings/session.h"
#include "upload/mode.h"
#include "upload/pass.h"
#include "util/cmdline.h"

namespace upload {

constexpr int kAttempts = 3;
// Seconds waited after every failed attempt, the last one too, so that the
// next file (or the next run) never follows a failure at once.
constexpr unsigned kRetryDelay = 5;

// Appends the curl command line for the file `path`, which curl reads as
// `source` (its pinned descriptor), to `line`; false when it would not fit
// (the line must then not be run). Changes nothing else, logs nothing. The
// credentials and bounds reach curl on its standard input ("-K -"), after
// the integrator's settings when `curl_config` says they exist; with a
// suffix, the rename follows the transfer (RNFR and RNTO, sent only after
// a successful one).
bool build_put_command(util::CommandLine& line, const char* source, const char* path,
                       const char* remote_url, const char* suffix, bool curl_config);

// Why a file cannot go through curl as one transfer: a remote name too long
// for the suffix, or a command line that would not fit; kNone when it can.
// Changes nothing, logs nothing.
Refusal curl_refusal(const settings::Session& session, const char* path);

// Pins the file, then up to `attempts` attempts, each failed one followed
// by kRetryDelay, then the disposition of a sent file. Returns the file's
// outcome: pin_selected's when it cannot be pinned, dispose_sent_file's
// once sent, kFailed after the last failed attempt, kPassedBy when its
// command line would not fit. After the last failed attempt, sets
// `server_down` to whether the server cannot be used now, so that the pass
// must end; else leaves it. Each attempt rewrites curl's error file. Logs
// each failure at LOG_ERR (curl's error line), and what pinning and
// disposal log.
Outcome send_with_retries(Pass& pass, const char* path, const FileIdentity& selected,
                          const char* config, int attempts, bool& server_down);

class CurlFileSender : public Sender {
 public:
  explicit CurlFileSender(const settings::Session& session) : session_(session) {}
  // Refuses a URL or user name read as an option, and a configuration
  // (user line and bounds) that would not fit; builds that configuration.
  // For check, an empty URL is a problem. Its refusals hold with or without
  // files. Changes only the sender, logs nothing.
  Readiness prepare(util::Findings& findings) override;
  Refusal refusal_of(const char* path) const override { return curl_refusal(session_, path); }
  size_t batch_size() const override { return 1; }
  // Each file in order through send_with_retries with kAttempts; kStop as
  // soon as one leaves the server unusable.
  SendEnd send(Pass& pass, Selection& files) override;
  // curl.
  std::vector<util::Tool> tools() const override;
  // curl's configuration text, for its standard input.
  const char* config() const { return config_; }

 private:
  const settings::Session& session_;
  char config_[util::kCommandSize] = "";
};

}  // namespace upload
