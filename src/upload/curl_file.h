// curl, one file at a time: the command line, the attempts, the verdict.
// Also what the curl batch falls back on for a file that failed in it.
#pragma once

#include <vector>

#include "settings/settings.h"
#include "upload/mode.h"
#include "upload/pass.h"
#include "util/cmdline.h"

namespace upload {

constexpr int kAttempts = 3;
// Seconds waited after every failed attempt, the last one too, so that the
// next file (or the next run) never follows a failure at once.
constexpr unsigned kRetryDelay = 5;

// The curl command line for the file `path`, which curl reads as
// `source` (its pinned descriptor); false when it would not fit. The
// credentials and bounds reach curl on its standard input ("-K -"); with a
// suffix, the rename follows the transfer (RNFR and RNTO, sent only after
// a successful one).
bool build_put_command(util::CommandLine& line, const char* source, const char* path,
                       const char* remote_url, const char* suffix);

// Why a file cannot go through curl as one transfer: a remote name too long
// for the suffix, or a command line that would not fit.
Refusal curl_refusal(const settings::ModuleSettings& s, const char* path);

// Pins the file, then up to `attempts` attempts, each failed one followed
// by kRetryDelay, then the disposition of a sent file. Returns the file's
// outcome; sets `server_down` when the last attempt failed so that the
// pass must end.
Outcome send_with_retries(Pass& pass, const char* path, const FileIdentity& selected,
                          const char* config, int attempts, bool& server_down);

class CurlFileSender : public Sender {
 public:
  explicit CurlFileSender(const settings::ModuleSettings& s) : cfg_(s) {}
  // Refuses a URL or user name read as an option, and a configuration
  // (user line and bounds) that would not fit; builds that configuration.
  void prepare(util::Findings& findings) override;
  Refusal refusal_of(const char* path) const override { return curl_refusal(cfg_, path); }
  size_t batch_size() const override { return 1; }
  SendEnd send(Pass& pass, Selection& files) override;
  std::vector<util::Tool> tools() const override;
  // curl's configuration text, for its standard input.
  const char* config() const { return config_; }

 private:
  const settings::ModuleSettings& cfg_;
  char config_[util::kCommandSize] = "";
};

}  // namespace upload
