// The curl batch: a configuration file of transfers, and their outcomes.
#include "upload/curl_batch.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "settings/settings.h"
#include "upload/listing.h"
#include "upload/selection.h"
#include "upload/target.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/curl.h"
#include "util/descriptor.h"
#include "util/filestat.h"
#include "util/pin.h"
#include "util/scratch.h"

namespace upload {

namespace {

// Files a curl run is given at most: bounds the memory and the
// configuration file of a pass that drains a large backlog.
constexpr size_t kBatchFiles = 256;
// curl stops at the first failed transfer (fail-early), so a dead server
// costs one transfer's bounds, not one for every file in the run. Parallel
// mode with one transfer at a time keeps them in order on one connection,
// and measured a few per cent faster than the plain sequence.
// In parallel mode curl shows its progress meter on a slow run even when
// silent, which would land in the error file and so in a log line.
constexpr const char* kBatchOptions =
    "globoff\nfail-early\nparallel\nparallel-max = 1\nno-progress-meter\n"
    "write-out = \"%{exitcode} %{errormsg}\\n\"\n";
// What each further transfer of a run needs after "next", which starts it
// afresh: the options that are a transfer's own.
constexpr const char* kNextTransfer =
    "next\nfail\nsilent\nshow-error\nno-progress-meter\ngloboff\n"
    "write-out = \"%{exitcode} %{errormsg}\\n\"\n";
// A transfer's own option where the URL's folders hold a field: curl makes
// the missing folders, and takes one that exists, or that another device
// made meanwhile, as made.
constexpr const char* kMakeFolders = "ftp-create-dirs\n";

// An unlinked 0600 file under the scratch folder, written in large pieces:
// it holds the credentials, and nothing is left of it when the run ends.
class ConfigFile {
 public:
  ConfigFile() {
    fd_.reset(open(util::kScratchFolder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd_.get() >= 0) return;
    // File systems without unnamed files: a named one, unlinked before a
    // byte is written.
    char name[sizeof kCurlBatchConfig];
    memcpy(name, kCurlBatchConfig, sizeof name);
    fd_.reset(mkostemp(name, O_CLOEXEC));
    if (fd_.get() >= 0) unlink(name);
    if (fd_.get() < 0) {
      failed_ = true;
      saved_errno_ = errno;
    }
  }
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;

  void add(const char* text) {
    size_t length = strlen(text);
    if (used_ + length > sizeof buffer_) flush();
    if (length > sizeof buffer_) {
      write_all(text, length);
      return;
    }
    memcpy(buffer_ + used_, text, length);
    used_ += length;
  }

  // The descriptor, rewound, for the child's standard input; none (errno
  // set) when the file could not be written whole.
  util::Descriptor finish() {
    flush();
    if (failed_) errno = saved_errno_;
    if (fd_.get() < 0 || failed_ || lseek(fd_.get(), 0, SEEK_SET) != 0) return util::Descriptor();
    return std::move(fd_);
  }

 private:
  void flush() {
    write_all(buffer_, used_);
    used_ = 0;
  }
  void write_all(const char* text, size_t length) {
    while (fd_.get() >= 0 && !failed_ && length > 0) {
      ssize_t written = write(fd_.get(), text, length);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        failed_ = true;
        saved_errno_ = written < 0 ? errno : ENOSPC;
        return;
      }
      text += written;
      length -= static_cast<size_t>(written);
    }
  }

  util::Descriptor fd_;
  bool failed_ = false;
  int saved_errno_ = 0;
  char buffer_[16384];
  size_t used_ = 0;
};

// With MOD_VASTREL_VERIFY, a run into an FTP folder, each file under its
// own name, asks the sizes of all its files by one listing of the folder
// after its uploads: a query for each file would cost as much as its
// upload. A file held under a temporary name has its size checked before
// its rename, and an HTTP server lists nothing: those are asked one by one.
// A run then takes the files of one folder only.
bool lists_folder(const settings::ModuleSettings& cfg) {
  const char* url = cfg.remote_url;
  return cfg.verify != 0 && cfg.partial_suffix[0] == '\0' && can_rename(url) && !uses_sftp(url) &&
         names_each_file(url);
}

// The length of the folder part of a file's URL: up to its last "/".
size_t folder_length(const Place& place) {
  return static_cast<size_t>(strrchr(place.url, '/') + 1 - place.url);
}

// The transfer that lists the folder of the file bound for `place` into
// kCurlListing, appended to `out`; false when it would not fit.
bool listing_entry(util::CommandLine& out, const Place& place) {
  std::string folder(place.url, folder_length(place));
  util::cmd_raw(out, {"output = \"", kCurlListing, "\"\nurl = "});
  util::curl_config_string(out, folder.c_str());
  util::cmd_char(out, '\n');
  return !out.overflow;
}

// One file's lines of the configuration; false when they would not fit.
// With a suffix, the file goes to its temporary name in a transfer of its
// own ("next"), whose rename follows only a successful transfer. With
// MOD_VASTREL_VERIFY, the transfers that ask the server's size of the file
// (and rename it when whole) follow it, so the next file starts afresh.
bool config_entry(const settings::Session& session, util::CommandLine& entry, const Place& place,
                  const char* source, const char* config, bool first, int64_t size) {
  const settings::ModuleSettings& cfg = session.cfg;
  const char* suffix = upload_suffix(cfg.remote_url, cfg.partial_suffix);
  bool renamed = suffix[0] != '\0';
  bool verify = cfg.verify != 0 && !lists_folder(cfg);
  if ((renamed || verify) && !first) {
    util::cmd_raw(entry, kNextTransfer);
    if (makes_folders(cfg.remote_url)) util::cmd_raw(entry, kMakeFolders);
    util::curl_config_again(entry, session.curl_config);
    util::cmd_raw(entry, config);
  }
  util::cmd_raw(entry, "upload-file = ");
  util::curl_config_string(entry, source);
  util::cmd_raw(entry, "\nurl = ");
  util::curl_config_string(entry, place.url);
  util::cmd_raw(entry, "\n");
  if (verify) {
    return verify_transfers(entry, kNextTransfer, config, session.curl_config, place, suffix, size);
  }
  if (renamed && !rename_quotes(entry, place.name, suffix)) return false;
  return !entry.overflow;
}

// One run's files: each pinned, so curl reads the very file listed.
struct RunFiles {
  std::vector<size_t> index;  // into the selection, in order
  std::vector<util::PinnedFile> pins;
};

// Pins the pending files of files[next, end), at most as many as a child
// may be given, and with a listing only those of the first one's folder; a
// name no longer the listed file is passed by.
void pin_run(const Pass& pass, Selection& files, size_t next, size_t end, RunFiles& run) {
  size_t budget = std::min(kBatchFiles, pass.session.descriptor_budget);
  bool one_folder = lists_folder(pass.cfg);
  for (size_t k = next; k < end && run.pins.size() < budget; ++k) {
    if (one_folder && !run.index.empty()) {
      Place first = files.place(run.index[0]);
      Place place = files.place(k);
      size_t length = folder_length(first);
      if (folder_length(place) != length || strncmp(first.url, place.url, length) != 0) break;
    }
    char path[util::kPathSize];
    util::PinnedFile pin;
    if (!pin_file(pass, files, k, path, pin)) continue;
    run.index.push_back(k);
    run.pins.push_back(std::move(pin));
  }
}

bool write_config(const settings::Session& session, ConfigFile& file, const Selection& files,
                  const RunFiles& run, const char* config) {
  // The longest entry: three transfers' options, URLs and the rename.
  char buffer[12 * util::kCommandSize];
  file.add(config);
  file.add(kBatchOptions);
  if (makes_folders(session.cfg.remote_url)) file.add(kMakeFolders);
  for (size_t j = 0; j < run.index.size(); ++j) {
    char source[32];
    util::inherited_path(source, j);
    util::CommandLine entry = util::command_line(buffer, sizeof buffer);
    // The selection let no file through whose entry would not fit.
    if (!config_entry(session, entry, files.place(run.index[j]), source, config, j == 0,
                      files.identity(run.index[j]).size)) {
      return false;
    }
    file.add(entry.text);
  }
  if (!lists_folder(session.cfg)) return true;
  util::CommandLine entry = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(entry, kNextTransfer);
  util::curl_config_again(entry, session.curl_config);
  util::cmd_raw(entry, config);
  if (!listing_entry(entry, files.place(run.index[0]))) return false;
  file.add(entry.text);
  return true;
}

enum class RunEnd { kAllSent, kHeldShort, kFailed, kNotWritten, kCannotReport };

// With MOD_VASTREL_VERIFY, reads the outcomes of the transfers that verify
// a sent file: `told` the size the server told (kNoSize for none). False,
// with `code` and `message` of the one that failed or 0 when there was no
// outcome, when one of them did not succeed.
bool verified(FILE* results, bool renamed, int& code, char (&message)[512], int64_t& told) {
  told = kNoSize;
  if (!next_outcome(results, code, message, &told) || code != 0) return false;
  if (!renamed) return true;
  code = 0;
  return next_outcome(results, code, message) && code == 0;
}

// The batch command line. --write-out reports each transfer's exit code and
// error text from curl 7.75 on; --create-file-mode came with it (and only
// restates curl's default for files that sftp, scp or file:// create), so
// an older curl refuses the line before any transfer starts.
void build_batch_line(util::CommandLine& line, bool curl_config) {
  util::cmd_raw(line, {util::kCurl, " -fSs --create-file-mode 0644 "});
  util::cmd_curl_config(line, curl_config);
  util::cmd_raw(line, {"-K - > ", kCurlResults, " 2>", util::kCurlError});
}

// True when the first run of a pass shows a curl that cannot report each
// transfer: it refused the option of 7.75, or sent without reporting.
bool cannot_report(util::ChildResult result) {
  if (result.ok()) return true;
  return result.exited(2) && util::file_size(util::kCurlError) != 0 &&
         strstr(util::read_error_text(util::kCurlError), "create-file-mode") != nullptr;
}

// Runs curl on the configuration `input`, with the pinned files; how it
// ended. Rewrites kCurlResults, kCurlListing and curl's error file.
util::ChildResult run_config(const Pass& pass, util::Descriptor input, const RunFiles& run) {
  util::ChildSpec child;
  child.set_stream(0, std::move(input));
  child.record_fd = pass.session.record_fd;
  for (const util::PinnedFile& pin : run.pins) child.inherited.push_back(pin.fd());
  char line_buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(line_buffer, sizeof line_buffer);
  build_batch_line(line, pass.session.curl_config);
  child.shell(line.text);
  util::empty_file(util::kCurlError);  // no earlier run's text for this one
  unlink(kCurlListing);                // never an earlier run's listing
  return util::run_child(child);
}

// The sizes the server holds of the first `sent` files of a run, by the
// run's listing when `listed` (its transfer succeeded), else by a listing
// of their own: the run stopped before it. kNoSize where none was told.
std::vector<int64_t> sizes_listed(const Pass& pass, const Selection& files, const RunFiles& run,
                                  size_t sent, bool listed, const char* config) {
  if (!listed) {
    ConfigFile file;
    file.add(config);
    file.add(kBatchOptions);
    char buffer[2 * util::kCommandSize];
    util::CommandLine entry = util::command_line(buffer, sizeof buffer);
    bool fits = listing_entry(entry, files.place(run.index[0]));
    file.add(entry.text);
    util::Descriptor input = fits ? file.finish() : util::Descriptor();
    listed = input.get() >= 0 && run_config(pass, std::move(input), RunFiles{}).ok();
  }
  std::vector<std::string> names;
  for (size_t j = 0; j < sent; ++j) names.emplace_back(files.place(run.index[j]).name);
  FILE* listing = listed ? fopen(kCurlListing, "re") : nullptr;
  std::vector<int64_t> sizes = listed_sizes(listing, nullptr, "", names);
  if (listing != nullptr) fclose(listing);
  return sizes;
}

// Reads the outcomes of a run's files in order and disposes of each sent
// one, up to the first that was not sent (its outcome then in `code` and
// `message`, or none when `reported` ends false); the count of files sent.
// `held_short`: the run stopped at a sent file the server holds short (its
// rename's gate failed), which counts as sent.
size_t dispose_run(Pass& pass, Selection& files, const RunFiles& run, FILE* results,
                   const char* config, bool& reported, int& code, char (&message)[512],
                   bool& held_short) {
  bool renamed = upload_suffix(pass.cfg.remote_url, pass.cfg.partial_suffix)[0] != '\0';
  bool listing = lists_folder(pass.cfg);
  bool checked = pass.cfg.verify != 0 && !listing;
  size_t j = 0;
  std::vector<int64_t> told(run.index.size(), kNotAsked);
  while (reported && code == 0) {
    if (checked && !verified(results, renamed, code, message, told[j])) {
      if (told[j] < 0 || told[j] == files.identity(run.index[j]).size) break;  // that file failed
      held_short = true;
      ++j;
      break;
    }
    reported = ++j < run.index.size() && next_outcome(results, code, message);
  }
  if (listing && j > 0) {
    int list_code = 0;
    char list_message[512];
    bool listed =
        j == run.index.size() && next_outcome(results, list_code, list_message) && list_code == 0;
    told = sizes_listed(pass, files, run, j, listed, config);
  }
  for (size_t k = 0; k < j; ++k) {
    char path[util::kPathSize];
    files.path(run.index[k], pass.cfg.scan_folder, path);
    files.set_outcome(run.index[k], dispose_sent_file(pass, path, run.pins[k],
                                                      files.identity(run.index[k]), told[k]));
  }
  return j;
}

// One curl run over the pending files from files[next...]: disposes of
// each sent file in order and stops at the first that was not sent, which
// `next` then names, with the result of its attempt and its error text
// (empty when there was none). kAllSent: every file the run took was sent,
// and `next` names the file after them. kHeldShort: the run stopped at a
// sent file the server holds short (its rename's gate failed), and `next`
// names the file after it. A curl that did not start sent
// nothing: the results and error text there are an earlier run's.
RunEnd run_once(Pass& pass, Selection& files, size_t& next, size_t end, const char* config,
                bool first_of_pass, util::ChildResult& status, char (&message)[512]) {
  RunFiles run;
  pin_run(pass, files, next, end, run);
  if (run.index.empty()) {
    next = end;
    return RunEnd::kAllSent;
  }
  ConfigFile file;
  util::Descriptor input =
      write_config(pass.session, file, files, run, config) ? file.finish() : util::Descriptor();
  if (input.get() < 0) {
    syslog(LOG_ERR, "Cannot write the curl configuration(%m), nothing more is sent");
    return RunEnd::kNotWritten;
  }
  status = run_config(pass, std::move(input), run);
  FILE* results = status.started() ? fopen(kCurlResults, "re") : nullptr;
  int code = 0;
  bool reported = next_outcome(results, code, message);
  if (!reported && first_of_pass && cannot_report(status)) {
    if (results != nullptr) fclose(results);
    syslog(LOG_NOTICE,
           "curl cannot report each transfer (7.75 or later can), files are sent one at a time");
    return RunEnd::kCannotReport;
  }
  // Read before a listing of its own rewrites it.
  char early[512] = "";
  if (status.started() && util::file_size(util::kCurlError) != 0) {
    snprintf(early, sizeof early, "%s", util::read_error_line(util::kCurlError));
  }
  bool held_short = false;
  size_t j = dispose_run(pass, files, run, results, config, reported, code, message, held_short);
  if (results != nullptr) fclose(results);
  if (held_short) {
    next = run.index[j - 1] + 1;
    return RunEnd::kHeldShort;
  }
  if (j == run.index.size()) {
    next = run.index.back() + 1;
    return RunEnd::kAllSent;
  }
  next = run.index[j];
  if (code != 0) {
    status = util::ChildResult::exited_with(code);  // that transfer's own exit code
  } else {
    // No outcome for this file (curl ended early): its own error text.
    snprintf(message, sizeof message, "%s", early);
    if (status.ok()) status = util::ChildResult::exited_with(1);
  }
  return RunEnd::kFailed;
}

}  // namespace

bool next_outcome(FILE* results, int& code, char (&message)[512], int64_t* told) {
  char line[400];
  for (bool at_start = true;; at_start = strchr(line, '\n') != nullptr) {
    if (results == nullptr || fgets(line, sizeof line, results) == nullptr) return false;
    // Header lines start with a letter: an outcome line, with a digit.
    if (told == nullptr || (at_start && line[0] >= '0' && line[0] <= '9')) break;
    int64_t size = at_start ? told_size(line) : -1;
    if (size >= 0) *told = size;
  }
  line[strcspn(line, "\n")] = '\0';
  char* text = nullptr;
  long value = strtol(line, &text, 10);
  if (text == line || (*text != ' ' && *text != '\0')) return false;
  code = static_cast<int>(value);
  snprintf(message, sizeof message, "curl: (%d) %s", code, *text == ' ' ? text + 1 : "");
  return true;
}

Refusal CurlBatchSender::refusal_of(const char* path, const Place& place) const {
  // A configuration file's quoted string cannot hold a control character.
  if (util::has_control(path) && !one_at_a_time_) return Refusal::kControl;
  return per_file_.refusal_of(path, place);
}

// In listing order a run's files are taken as the scan finds them, which
// bounds the memory and the configuration file of a large backlog.
size_t CurlBatchSender::batch_size() const { return kBatchFiles; }

// Sends the selection in runs of kBatchFiles; a file that fails in a run
// gets the rest of its attempts one at a time, and a new run takes the
// files behind it. Once curl showed that it cannot report each transfer,
// every file goes one at a time.
SendEnd CurlBatchSender::send(Pass& pass, Selection& files) {
  if (one_at_a_time_) return per_file_.send(pass, files);
  for (size_t first = 0; first < files.size(); first += kBatchFiles) {
    size_t end = std::min(first + kBatchFiles, files.size());
    size_t next = first;
    while (next < end) {
      if (util::stop_signal() != 0) return SendEnd::kStop;
      util::ChildResult status = util::ChildResult::exited_with(0);
      char message[512] = "";
      RunEnd result =
          run_once(pass, files, next, end, per_file_.config(), first_run_, status, message);
      first_run_ = false;
      if (result == RunEnd::kCannotReport) {
        one_at_a_time_ = true;  // nothing was sent: the whole selection goes
        return per_file_.send(pass, files);
      }
      if (result == RunEnd::kAllSent || result == RunEnd::kHeldShort) continue;
      if (result == RunEnd::kNotWritten) {
        pass.tally.error = true;
        return SendEnd::kStop;
      }
      if (util::stop_signal() != 0) {  // the file in transfer stays new
        files.set_outcome(next, Outcome::kFailed);
        return SendEnd::kStop;
      }
      // A store's refusal is told by the file's own attempt, which reads
      // the store's reason and ends the pass: no line and no wait here.
      if (!store_refuses_every_file(pass.cfg.remote_url, message)) {
        if (message[0] != '\0') syslog(LOG_ERR, "file upload has failed(%s)", message);
        sleep(kRetryDelay);
      }
      char path[util::kPathSize];
      files.path(next, session_.cfg.scan_folder, path);
      bool server_down = false;
      files.set_outcome(next, send_with_retries(pass, path, files.identity(next), files.place(next),
                                                per_file_.config(), kAttempts - 1, server_down));
      ++next;
      if (server_down) return SendEnd::kStop;
    }
  }
  return SendEnd::kDone;
}

}  // namespace upload
