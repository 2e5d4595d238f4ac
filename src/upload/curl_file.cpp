// One curl transfer, its attempts, and what curl mode refuses.
#include "upload/curl_file.h"

#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "upload/resume.h"
#include "upload/target.h"
#include "util/command.h"
#include "util/curl.h"
#include "util/filestat.h"
#include "util/scratch.h"

namespace upload {

namespace {

// kStoreRefused: object storage refused the credentials, the signature or
// the bucket, which no further attempt changes.
enum class PutResult { kSent, kFailed, kServerDown, kRefused, kStoreRefused, kFolderRefused };

// What starts each further transfer of a run of one file.
constexpr const char* kNextCheck = "next\nfail\nsilent\nshow-error\ngloboff\n";
// A run's configuration with the transfers that verify its file: written
// before curl starts, it must fit the smallest pipe buffer (PIPE_BUF).
constexpr size_t kInputSize = 4096;

// curl's standard input for one file: its configuration, and with
// MOD_VASTREL_VERIFY the transfers that ask the server's size (and rename
// a file held whole); false when that would not fit.
bool put_input(util::CommandLine& input, const settings::Session& session, const char* config,
               const Place& place, int64_t size, int64_t offset = 0) {
  const settings::ModuleSettings& cfg = session.cfg;
  util::cmd_raw(input, config);
  if (offset > 0) {
    // Resumed: the upload starts at that byte of the file, appended to what
    // the server holds under the temporary name.
    char resume[48];
    snprintf(resume, sizeof resume, "continue-at = %lld\n", static_cast<long long>(offset));
    util::cmd_raw(input, resume);
  }
  if (cfg.verify == 0) return !input.overflow;
  util::cmd_raw(input, "fail-early\n");  // no size is asked of a file that was not sent
  return verify_transfers(input, kNextCheck, config, session.curl_config, place,
                          upload_suffix(cfg.remote_url, cfg.partial_suffix), size);
}

// The size the server told in kCurlSizes, or kNoSize.
int64_t sizes_told() {
  FILE* file = fopen(kCurlSizes, "re");
  if (file == nullptr) return kNoSize;
  char line[256];
  int64_t told = kNoSize;
  while (told < 0 && fgets(line, sizeof line, file) != nullptr) told = told_size(line);
  fclose(file);
  return told;
}

// The post-transfer rename of the suffix mode as one curl quote command
// ("-RNFR NAME+SUFFIX" or "-RNTO NAME"); false when it would not fit.
bool rename_command(char (&out)[util::kCommandSize], const char* verb, const char* name,
                    const char* suffix) {
  util::CommandLine text = util::command_line(out, sizeof out);
  util::cmd_raw(text, verb);
  util::cmd_raw(text, name);
  util::cmd_raw(text, suffix);
  return !text.overflow;
}

// The S3 error code in the reply kept in `reply` ("<Code>NoSuchBucket</Code>"),
// into `out`; "" when there is none, or it is not a plain word.
void s3_error_code(const char* reply, char (&out)[64]) {
  out[0] = '\0';
  char text[4096];
  FILE* file = fopen(reply, "re");
  if (file == nullptr) return;
  size_t length = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[length] = '\0';
  const char* start = strstr(text, "<Code>");
  if (start == nullptr) return;
  start += 6;
  size_t word = strspn(start, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
  if (word == 0 || word >= sizeof out || strncmp(start + word, "</Code>", 7) != 0) return;
  memcpy(out, start, word);
  out[word] = '\0';
}

// Logs a failed upload to object storage with the store's reason; true
// when the store gave one and refuses every file.
bool s3_refuses_all(const char* remote_url, bool verify) {
  char code[64];
  s3_error_code(verify ? kCurlSizes : kCurlReply, code);
  const char* error =
      util::file_size(util::kCurlError) != 0 ? util::read_error_line(util::kCurlError) : "";
  if (code[0] != '\0') {
    syslog(LOG_ERR, "file upload has failed(%s, S3 error %s)", error, code);
  } else if (error[0] != '\0') {
    syslog(LOG_ERR, "file upload has failed(%s)", error);
  }
  return code[0] != '\0' && store_refuses_every_file(remote_url, error);
}

// The command line and standard input of one file's curl run, from its
// first byte or `offset`; false when either would not fit.
bool put_texts(util::CommandLine& line, util::CommandLine& input, const settings::Session& session,
               const char* config, const Place& place, int64_t size, int64_t offset) {
  const settings::ModuleSettings& cfg = session.cfg;
  char source[32];
  util::inherited_path(source, 0);
  const char* url = cfg.remote_url;
  return build_put_command(line, source, place, upload_suffix(url, cfg.partial_suffix),
                           session.curl_config, makes_folders(url), cfg.verify != 0, is_s3(url)) &&
         put_input(input, session, config, place, size, offset);
}

// Sends one file with curl, given curl's configuration text. kServerDown:
// failed so that no other file can go either; kRefused: not run, the
// command line would not fit (the selection let no such file through).
// With MOD_VASTREL_VERIFY, `told` is then the size the server told (kNoSize
// for none); kNotAsked without.
PutResult curl_put_file(const Pass& pass, const util::PinnedFile& pin, const FileIdentity& listed,
                        const Place& place, const char* config, int64_t offset, int64_t& told) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  char input_buffer[kInputSize];
  util::CommandLine input = util::command_line(input_buffer, sizeof input_buffer);
  bool verify = pass.cfg.verify != 0;
  const char* url = pass.cfg.remote_url;
  if (!put_texts(line, input, pass.session, config, place, listed.size, offset)) {
    return PutResult::kRefused;
  }
  util::ChildSpec child;
  child.record_fd = pass.session.record_fd;
  child.inherited.push_back(pin.fd());
  if (!child.feed_stdin(input.text)) {
    syslog(LOG_ERR, "Cannot pass curl its configuration(%m)");
    return PutResult::kFailed;
  }
  child.shell(line.text);
  // A shell that fails before its redirection leaves the file as it was:
  // its text must not be an earlier attempt's.
  util::empty_file(util::kCurlError);
  util::ChildResult result = util::run_child(child);
  told = !verify ? kNotAsked : result.started() ? sizes_told() : kNoSize;
  if (result.ok()) return PutResult::kSent;
  // A file the server holds short fails the gate of its rename: sent, and
  // kept by its disposal.
  if (told >= 0 && told != listed.size) return PutResult::kSent;
  // A curl that did not start wrote no error text: what is there is older.
  if (is_s3(url) && result.started()) {
    if (s3_refuses_all(url, verify)) return PutResult::kStoreRefused;
  } else if (result.started() && util::file_size(util::kCurlError) != 0) {
    syslog(LOG_ERR, "file upload has failed(%s)", util::read_error_line(util::kCurlError));
  }
  // Where the URL's folders hold a field, a folder refused (9) may be the
  // file's own: the files behind it go to other folders.
  if (result.exited(9) && makes_folders(pass.cfg.remote_url)) return PutResult::kFolderRefused;
  return util::curl_server_unusable(result) ? PutResult::kServerDown : PutResult::kFailed;
}

// The size the server holds under the file's temporary name `target`,
// asked in a curl run of its own (FTP's SIZE); kNoSize when it told none.
// Its failure is not logged: the upload then starts from the first byte.
int64_t held_size(const Pass& pass, const char* target, const char* config) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(line, {util::kCurl, " -fSs "});
  util::cmd_curl_glob_off(line, target);
  util::cmd_curl_config(line, pass.session.curl_config);
  util::cmd_raw(line, {"-K - 2>", util::kCurlError, " >", kCurlSizes});
  char input_buffer[kInputSize];
  util::CommandLine input = util::command_line(input_buffer, sizeof input_buffer);
  util::cmd_raw(input, {config, "head\nurl = "});
  util::curl_config_string(input, target);
  util::cmd_char(input, '\n');
  if (line.overflow || input.overflow) return kNoSize;
  util::ChildSpec child;
  child.record_fd = pass.session.record_fd;
  if (!child.feed_stdin(input.text)) return kNoSize;
  child.shell(line.text);
  util::empty_file(kCurlSizes);
  util::ChildResult result = util::run_child(child);
  return result.ok() ? sizes_told() : kNoSize;
}

// Before an attempt with MOD_VASTREL_RESUME: the offset it starts from
// (the server's bytes under `target` where the record proves they are this
// file's, else 0), then the record of this attempt. A resumed attempt
// before it that moved no byte (`previous`, the offset it started from)
// makes this one start from 0: the server may take no append. Logs a
// resumed start.
int64_t resume_start(const Pass& pass, const char* path, const util::PinnedFile& pin,
                     const char* target, const char* config, int64_t previous) {
  struct stat st;
  int64_t offset = 0;
  if (fstat(pin.fd(), &st) == 0 && resume_record_matches(pin.fd(), target)) {
    offset = resume_offset(held_size(pass, target, config), static_cast<int64_t>(st.st_size));
  }
  if (offset == previous) offset = 0;
  write_resume_record(pin.fd(), path, target);
  if (offset > 0) log_resumed(path, offset, static_cast<int64_t>(st.st_size));
  return offset;
}

// Object storage: what check tells of it, what stands in its way, and the
// signing lines of every request (configuration, never the command line).
// The payload goes unsigned: the header is what real S3 and Ceph's gateway
// require of a request whose body curl streams.
void s3_verdict(const settings::Session& session, util::CommandLine& config,
                util::Findings& findings) {
  const settings::ModuleSettings& cfg = session.cfg;
  const char* region = cfg.s3_region[0] != '\0' ? cfg.s3_region : settings::kDefaultS3Region;
  char bucket[256];
  if (!s3_bucket(bucket, cfg.remote_url)) {
    findings.refuse("Remote URL %s names no bucket (s3://BUCKET/PREFIX/), nothing is sent",
                    util::Url{cfg.remote_url});
  } else {
    findings.note("  object storage: bucket %s, region %s\n", bucket, region);
  }
  if (cfg.s3_endpoint[0] == '\0') {
    findings.refuse(
        "MOD_VASTREL_S3_ENDPOINT is empty: an s3:// URL needs the storage's address, nothing is "
        "sent");
  } else {
    findings.note("  endpoint %s (path-style requests: ENDPOINT/BUCKET/KEY)\n",
                  util::masked_url(cfg.s3_endpoint).c_str());
  }
  if (util::reads_as_option(cfg.s3_endpoint)) {
    findings.refuse(util::kOptionRefusal, "S3 endpoint", util::Url{cfg.s3_endpoint});
  }
  if (settings::clock_behind(session)) {
    findings.refuse(kS3ClockBehind, util::utc_text(session.now, util::kUtcTime).text);
  }
  util::cmd_raw(config, "aws-sigv4 = \"aws:amz:");
  util::curl_config_text(config, region);
  util::cmd_raw(config, ":s3\"\nheader = \"x-amz-content-sha256: UNSIGNED-PAYLOAD\"\n");
}

}  // namespace

bool store_refuses_every_file(const char* remote_url, const char* error) {
  return is_s3(remote_url) &&
         (strstr(error, "error: 403") != nullptr || strstr(error, "error: 404") != nullptr);
}

bool build_put_command(util::CommandLine& line, const char* source, const Place& place,
                       const char* suffix, bool curl_config, bool make_folders, bool verify,
                       bool s3) {
  const char* url = place.url;
  // Object storage tells why it refused in the reply's body: kept for the log.
  util::cmd_raw(line, {util::kCurl, s3 ? " --fail-with-body -Ss " : " -fSs "});
  if (make_folders) util::cmd_raw(line, "--ftp-create-dirs ");
  util::cmd_curl_glob_off(line, url);
  util::cmd_curl_config(line, curl_config);
  if (!verify) util::cmd_raw(line, "-K - ");
  util::cmd_word(line, url);
  util::cmd_raw(line, " -T ");
  util::cmd_word(line, source);
  if (verify) {
    // The configuration follows the transfer: the transfers that verify it
    // come after it in the same run, over its connection.
    util::cmd_raw(line, {" -K - 2>", util::kCurlError, " >", kCurlSizes});
    return !line.overflow;
  }
  if (suffix[0] != '\0') {
    char from[util::kCommandSize];
    char to[util::kCommandSize];
    if (!rename_command(from, "-RNFR ", place.name, suffix) ||
        !rename_command(to, "-RNTO ", place.name, "")) {
      return false;
    }
    util::cmd_raw(line, " -Q ");
    util::cmd_word(line, from);
    util::cmd_raw(line, " -Q ");
    util::cmd_word(line, to);
  }
  util::cmd_raw(line, {" 2>", util::kCurlError});
  if (s3) util::cmd_raw(line, {" >", kCurlReply});
  return !line.overflow;
}

namespace {

// Appends a further transfer of the same curl run, which starts afresh:
// its own options, the integrator's settings again, the credentials and
// bounds, then `what` and the URL.
void further_transfer(util::CommandLine& out, const char* next_text, bool curl_config,
                      const char* config, const char* what, const char* url) {
  util::cmd_raw(out, next_text);
  util::curl_config_again(out, curl_config);
  util::cmd_raw(out, config);
  util::cmd_raw(out, what);
  util::curl_config_string(out, url);
  util::cmd_char(out, '\n');
}

}  // namespace

bool verify_transfers(util::CommandLine& out, const char* next_text, const char* config,
                      bool curl_config, const Place& place, const char* suffix, int64_t size) {
  const char* url = place.url;
  further_transfer(out, next_text, curl_config, config, "head\nurl = ", url);
  if (suffix[0] == '\0') return !out.overflow;
  further_transfer(out, next_text, curl_config, config, "output = \"/dev/null\"\nurl = ", url);
  if (size > 0) {
    // From offset `size`: fails for a shorter file (36), and for a longer
    // one (63), before any byte moves; an empty file has nothing to gate.
    char gate[96];
    snprintf(gate, sizeof gate, "range = \"%lld-\"\nmax-filesize = %lld\n",
             static_cast<long long>(size), static_cast<long long>(size));
    util::cmd_raw(out, gate);
  }
  return rename_quotes(out, place.name, suffix) && !out.overflow;
}

int64_t told_size(const char* line) {
  constexpr char kHeader[] = "content-length:";
  if (strncasecmp(line, kHeader, sizeof kHeader - 1) != 0) return -1;
  const char* digits = line + sizeof kHeader - 1;
  digits += strspn(digits, " \t");
  if (*digits < '0' || *digits > '9') return -1;
  char* end = nullptr;
  errno = 0;
  long long size = strtoll(digits, &end, 10);
  if (errno != 0 || (*end != '\r' && *end != '\n' && *end != '\0')) return -1;
  return size;
}

bool rename_quotes(util::CommandLine& out, const char* name, const char* suffix) {
  util::cmd_raw(out, "quote = \"-RNFR ");
  util::curl_config_text(out, name);
  util::curl_config_text(out, suffix);
  util::cmd_raw(out, "\"\nquote = \"-RNTO ");
  util::curl_config_text(out, name);
  util::cmd_raw(out, "\"\n");
  return !out.overflow;
}

Refusal curl_refusal(const settings::Session& session, const char* config, const Place& place) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  char input_buffer[kInputSize];
  util::CommandLine input = util::command_line(input_buffer, sizeof input_buffer);
  // The longest gate a file's size can make.
  return put_texts(line, input, session, config, place, INT64_MAX, 0) ? Refusal::kNone
                                                                      : Refusal::kCommandTooLong;
}

Outcome send_with_retries(Pass& pass, const char* path, const FileIdentity& selected,
                          const Place& place, const char* config, int attempts, bool& server_down) {
  util::PinnedFile pin;
  Outcome pinned = pin_selected(pass, path, selected, pin);
  if (pinned != Outcome::kPending) return pinned;
  PutResult result = PutResult::kFailed;
  char target[util::kCommandSize];
  bool resuming = resumes(pass.cfg) && resume_target(target, pass.cfg, place);
  int64_t offset = 0;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    int64_t told = kNotAsked;
    offset = resuming ? resume_start(pass, path, pin, target, config, offset) : 0;
    result = curl_put_file(pass, pin, selected, place, config, offset, told);
    if (result == PutResult::kRefused) return Outcome::kPassedBy;
    if (result == PutResult::kStoreRefused) {  // no attempt and no wait changes it
      server_down = true;
      return Outcome::kFailed;
    }
    if (result == PutResult::kSent) {
      pass.refused_folder.clear();
      Outcome outcome = dispose_sent_file(pass, path, pin, selected, told);
      if (resuming) resume_done(pass, target, outcome, offset);
      return outcome;
    }
    // A stopped run neither waits nor tries again: the file stays new.
    if (util::stop_signal() != 0) return Outcome::kFailed;
    sleep(kRetryDelay);  // after the last attempt too
  }
  server_down = result == PutResult::kServerDown;
  if (result == PutResult::kFolderRefused) {
    // A second folder refused, with no file sent since the first, says
    // the server refuses every folder: the pass ends as for any other 9.
    std::string folder(place.url, static_cast<size_t>(strrchr(place.url, '/') - place.url));
    server_down = !pass.refused_folder.empty() && pass.refused_folder != folder;
    pass.refused_folder = folder;
  }
  return Outcome::kFailed;
}

Readiness CurlFileSender::prepare(util::Findings& findings) {
  const settings::ModuleSettings& cfg = session_.cfg;
  if (cfg.remote_url[0] == '\0') {
    findings.problem("MOD_VASTREL_REMOTEURL is empty: every file fails");
  }
  if (util::reads_as_option(cfg.remote_url)) {
    findings.refuse(util::kOptionRefusal, "Remote URL", util::Url{cfg.remote_url});
  }
  if (util::reads_as_option(cfg.username)) {
    findings.refuse(util::kOptionRefusal, "User name", cfg.username);
  }
  util::CommandLine config = util::command_line(config_, sizeof config_);
  util::curl_user_line(config, cfg.username, cfg.password);
  util::curl_bounds(config, cfg.connect_timeout, cfg.stall_timeout, cfg.rate_limit);
  if (is_s3(cfg.remote_url)) s3_verdict(session_, config, findings);
  if (config.overflow) {
    findings.refuse("Credential line is longer than %zu characters, nothing is sent",
                    util::kCommandSize - 1);
  }
  return Readiness{};
}

SendEnd CurlFileSender::send(Pass& pass, Selection& files) {
  for (size_t k = 0; k < files.size(); ++k) {
    if (util::stop_signal() != 0) return SendEnd::kStop;
    char path[util::kPathSize];
    files.path(k, session_.cfg.scan_folder, path);
    bool server_down = false;
    files.set_outcome(k, send_with_retries(pass, path, files.identity(k), files.place(k), config_,
                                           kAttempts, server_down));
    if (server_down) return SendEnd::kStop;
  }
  return SendEnd::kDone;
}

std::vector<util::Tool> CurlFileSender::tools() const { return {{util::kCurl, "sends the files"}}; }

}  // namespace upload
