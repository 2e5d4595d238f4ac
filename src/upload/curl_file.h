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
// `source` (its pinned descriptor); false when it would not fit. The
// credentials and bounds reach curl on its standard input ("-K -"), after
// the integrator's settings when `curl_config` says they exist; with a
// suffix, the rename follows the transfer (RNFR and RNTO, sent only after
// a successful one).
bool build_put_command(util::CommandLine& line, const char* source, const char* path,
                       const char* remote_url, const char* suffix, bool curl_config);

// Why a file cannot go through curl as one transfer: a remote name too long
// for the suffix, or a command line that would not fit. Changes nothing.
Refusal curl_refusal(const settings::Session& session, const char* path);

// Pins the file, then up to `attempts` attempts, each failed one followed
// by kRetryDelay, then the disposition of a sent file. Returns the file's
// outcome; sets `server_down` when the last attempt failed so that the
// pass must end. Logs each failure.
Outcome send_with_retries(Pass& pass, const char* path, const FileIdentity& selected,
                          const char* config, int attempts, bool& server_down);

class CurlFileSender : public Sender {
 public:
  explicit CurlFileSender(const settings::Session& session) : session_(session) {}
  // Refuses a URL or user name read as an option, and a configuration
  // (user line and bounds) that would not fit; builds that configuration.
  Readiness prepare(util::Findings& findings) override;
  Refusal refusal_of(const char* path) const override { return curl_refusal(session_, path); }
  size_t batch_size() const override { return 1; }
  SendEnd send(Pass& pass, Selection& files) override;
  std::vector<util::Tool> tools() const override;
  // curl's configuration text, for its standard input.
  const char* config() const { return config_; }

 private:
  const settings::Session& session_;
  char config_[util::kCommandSize] = "";
};

}  // namespace upload
