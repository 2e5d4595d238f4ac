// The curl batch mode: a pass's files in as few curl runs as possible.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "settings/session.h"
#include "upload/curl_file.h"
#include "upload/mode.h"

namespace upload {

// Each transfer's outcome line, written by curl as it ends the transfer.
constexpr const char* kCurlResults = "/var/vastrel/curl_results";
// With MOD_VASTREL_VERIFY, the listing of the folder that a run sent its
// files into: the sizes the server holds.
constexpr const char* kCurlListing = "/var/vastrel/curl_listing";
// The named configuration file, where the scratch folder's file system has
// no unnamed ones; a mkstemp template.
constexpr char kCurlBatchConfig[] = "/var/vastrel/curl_batch.XXXXXX";

// Sends a pass's files through as few curl runs as possible, each logging
// in once. Refuses what curl per file refuses, and names with a control
// character, which a configuration file cannot hold. The pass's first run
// may show that curl cannot report each transfer (older than 7.75): then
// nothing was sent, and from there on the files go one at a time.
class CurlBatchSender : public Sender {
 public:
  explicit CurlBatchSender(const settings::Session& session)
      : session_(session), per_file_(session) {}
  // curl per file's: the same refusals and configuration.
  Readiness prepare(util::Findings& findings) override { return per_file_.prepare(findings); }
  // kControl for a name with a control character until the files go one at
  // a time; otherwise curl per file's refusal. Changes nothing.
  Refusal refusal_of(const char* path, const Place& place) const override;
  // kBatchFiles: in listing order a run takes the files as the scan finds
  // them.
  size_t batch_size() const override;
  // Runs of at most kBatchFiles files (fewer when a child may be given
  // fewer descriptors); a file that fails in a run gets the rest of its
  // attempts one at a time, then a new run takes the files behind it. kStop
  // when the server cannot be used now, or when the configuration cannot be
  // written (LOG_ERR, and the tally's `error`). Writes kCurlResults, curl's
  // error file and an unlinked configuration file. Logs each failed
  // transfer at LOG_ERR, the fall back to one file at a time at LOG_NOTICE,
  // and what disposal logs.
  SendEnd send(Pass& pass, Selection& files) override;
  // curl per file's: curl.
  std::vector<util::Tool> tools() const override { return per_file_.tools(); }

 private:
  const settings::Session& session_;
  CurlFileSender per_file_;  // its configuration, the retries of a file, the fallback
  bool first_run_ = true;
  bool one_at_a_time_ = false;  // curl cannot report each transfer of a run
};

// Reads the outcome of the next transfer from the results: its exit code,
// and "curl: (N) TEXT" as curl itself prints a failure. False, `code` and
// `message` left as they were, when the run reported none (a null file, no
// line, or one that does not start with a number). Consumes one line of
// `results`; with `told`, the header lines before the outcome too, and
// sets `*told` to a Content-Length among them. Logs nothing.
bool next_outcome(FILE* results, int& code, char (&message)[512], int64_t* told = nullptr);

}  // namespace upload
