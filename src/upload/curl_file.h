// curl, one file at a time: the command line, the attempts, the verdict.
// Also what the curl batch falls back on for a file that failed in it.
#pragma once

#include <cstdint>
#include <vector>

#include "settings/session.h"
#include "upload/mode.h"
#include "upload/pass.h"
#include "upload/target.h"
#include "util/cmdline.h"

namespace upload {

constexpr int kAttempts = 3;
// Seconds waited after every failed attempt, the last one too, so that the
// next file (or the next run) never follows a failure at once.
constexpr unsigned kRetryDelay = 5;

// Appends the curl command line for the file bound for `place`, which
// curl reads as `source` (its pinned descriptor), to `line`; false when it
// would not fit
// (the line must then not be run). Changes nothing else, logs nothing. The
// credentials and bounds reach curl on its standard input ("-K -"), after
// the integrator's settings when `curl_config` says they exist; with a
// suffix, the rename follows the transfer (RNFR and RNTO, sent only after
// a successful one). With `make_folders` (makes_folders), curl makes the
// URL's missing folders and takes one that exists as made.
//
// With `verify` (MOD_VASTREL_VERIFY) the line reads its configuration
// after the transfer, where verify_transfers' lines follow it, leaves the
// rename to them, and writes curl's output (the server's size) to
// kCurlSizes.
//
// For object storage (`s3`), no suffix: curl keeps a refusal's reply
// (--fail-with-body) in kCurlReply, or with `verify` in kCurlSizes; the
// signing reaches it with the credentials.
bool build_put_command(util::CommandLine& line, const char* source, const Place& place,
                       const char* suffix, bool curl_config, bool make_folders, bool verify = false,
                       bool s3 = false);

// curl's output for object storage without MOD_VASTREL_VERIFY: the reply
// of a refused upload.
constexpr const char* kCurlReply = "/var/vastrel/curl_reply";

// curl's output with MOD_VASTREL_VERIFY: the headers of the size request.
constexpr const char* kCurlSizes = "/var/vastrel/curl_sizes";

// The transfers that follow a file's upload in the same curl run, over its
// connection, with MOD_VASTREL_VERIFY, as configuration lines appended to
// `out`: each starts with `next_text` ("next" and a transfer's own
// options), the integrator's settings again when `curl_config`, and
// `config` (user and bounds). The first asks the size of the uploaded file
// (a HEAD: FTP's SIZE, HTTP's Content-Length). With a suffix a second one
// renames NAME+SUFFIX to NAME, gated by a fetch of NAME+SUFFIX from offset
// `size` that fails unless the server holds exactly `size` bytes (curl's
// range and maximum file size), so a short file keeps its temporary name.
// False when the lines would not fit. Logs nothing.
bool verify_transfers(util::CommandLine& out, const char* next_text, const char* config,
                      bool curl_config, const Place& place, const char* suffix, int64_t size);

// The size a line of curl's header output tells ("Content-Length: N", any
// letter case), or -1 for any other line. Changes nothing.
int64_t told_size(const char* line);

// The configuration lines of the suffix mode's rename of NAME+SUFFIX to
// NAME (the remote name `name`), quote commands sent only after a
// successful transfer; false when they would not fit. Logs nothing.
bool rename_quotes(util::CommandLine& out, const char* name, const char* suffix);

// Why a file bound for `place` cannot go through curl as one transfer: a
// command line (with MOD_VASTREL_VERIFY, or the configuration `config`
// with the transfers that verify it) that would not fit; kNone when it
// can. Changes nothing, logs nothing.
Refusal curl_refusal(const settings::Session& session, const char* config, const Place& place);

// Pins the file, then up to `attempts` attempts, each failed one followed
// by kRetryDelay, then the disposition of a sent file. Returns the file's
// outcome: pin_selected's when it cannot be pinned, dispose_sent_file's
// once sent, kFailed after the last failed attempt, kPassedBy when its
// command line would not fit. After the last failed attempt, sets
// `server_down` to whether the server cannot be used now, so that the pass
// must end; else leaves it. Where the URL's folders hold a field, a folder
// the server refused (curl's 9) ends the pass only when another one was
// refused before with no file sent since (`pass.refused_folder`, which a
// sent file clears). With MOD_VASTREL_VERIFY the server's size of
// the file decides its disposal; a file it holds short is not tried again.
// Each attempt rewrites curl's error file (and kCurlSizes). Logs
// each failure at LOG_ERR (curl's error line), and what pinning and
// disposal log.
Outcome send_with_retries(Pass& pass, const char* path, const FileIdentity& selected,
                          const Place& place, const char* config, int attempts, bool& server_down);

// True for curl's error text of an upload to object storage (an s3:// URL)
// that the store refused with 403 (credentials, signature, clock) or 404
// (the bucket): a refusal that holds for every file. Changes nothing.
bool store_refuses_every_file(const char* remote_url, const char* error);

// Object storage refuses a signature made with a clock that is far off.
constexpr const char* kS3ClockBehind =
    "The clock reads %s, before this program was built: object storage refuses its signatures, "
    "nothing is sent";

class CurlFileSender : public Sender {
 public:
  explicit CurlFileSender(const settings::Session& session) : session_(session) {}
  // Refuses a URL or user name read as an option, and a configuration
  // (user line and bounds) that would not fit; builds that configuration.
  // For object storage also the signing lines, and refuses a missing
  // endpoint or bucket, an endpoint read as an option and a clock before
  // the floor (kS3ClockBehind).
  // For check, an empty URL is a problem. Its refusals hold with or without
  // files. Changes only the sender, logs nothing.
  Readiness prepare(util::Findings& findings) override;
  Refusal refusal_of(const char*, const Place& place) const override {
    return curl_refusal(session_, config_, place);
  }
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
