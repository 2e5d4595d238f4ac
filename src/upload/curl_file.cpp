// One curl transfer, its attempts, and what curl mode refuses.
#include "upload/curl_file.h"

#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "upload/target.h"
#include "util/command.h"
#include "util/curl.h"
#include "util/filestat.h"
#include "util/scratch.h"

namespace upload {

namespace {

enum class PutResult { kSent, kFailed, kServerDown, kRefused };

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

// Sends one file with curl, given curl's configuration text. kServerDown:
// failed so that no other file can go either; kRefused: not run, the
// command line would not fit (the selection let no such file through).
PutResult curl_put_file(const Pass& pass, const char* path, const util::PinnedFile& pin,
                        const char* config) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  char source[32];
  util::inherited_path(source, 0);
  if (!build_put_command(line, source, path, pass.cfg.remote_url, pass.cfg.partial_suffix,
                         pass.session.curl_config)) {
    return PutResult::kRefused;
  }
  util::ChildSpec child;
  child.record_fd = pass.session.record_fd;
  child.inherited.push_back(pin.fd());
  if (!child.feed_stdin(config)) {
    syslog(LOG_ERR, "Cannot pass curl its configuration(%m)");
    return PutResult::kFailed;
  }
  child.shell(line.text);
  // A shell that fails before its redirection leaves the file as it was:
  // its text must not be an earlier attempt's.
  util::empty_file(util::kCurlError);
  util::ChildResult result = util::run_child(child);
  if (result.ok()) return PutResult::kSent;
  // A curl that did not start wrote no error text: what is there is older.
  if (result.started() && util::file_size(util::kCurlError) != 0) {
    syslog(LOG_ERR, "file upload has failed(%s)", util::read_error_line(util::kCurlError));
  }
  return util::curl_server_unusable(result) ? PutResult::kServerDown : PutResult::kFailed;
}

}  // namespace

bool build_put_command(util::CommandLine& line, const char* source, const char* path,
                       const char* remote_url, const char* suffix, bool curl_config) {
  char url_buffer[util::kCommandSize];
  const char* url = target_url(url_buffer, remote_url, path, suffix);
  if (url == nullptr) return false;
  util::cmd_raw(line, {util::kCurl, " -fSs "});
  util::cmd_curl_glob_off(line, url);
  util::cmd_curl_config(line, curl_config);
  util::cmd_raw(line, "-K - ");
  util::cmd_word(line, url);
  util::cmd_raw(line, " -T ");
  util::cmd_word(line, source);
  if (suffix[0] != '\0') {
    char name[util::kPathSize];
    char from[util::kCommandSize];
    char to[util::kCommandSize];
    if (!remote_name(name, remote_url, path) || !rename_command(from, "-RNFR ", name, suffix) ||
        !rename_command(to, "-RNTO ", name, "")) {
      return false;
    }
    util::cmd_raw(line, " -Q ");
    util::cmd_word(line, from);
    util::cmd_raw(line, " -Q ");
    util::cmd_word(line, to);
  }
  util::cmd_raw(line, {" 2>", util::kCurlError});
  return !line.overflow;
}

Refusal curl_refusal(const settings::Session& session, const char* path) {
  const settings::ModuleSettings& s = session.cfg;
  const char* suffix = s.partial_suffix;
  if (suffix[0] != '\0' && !remote_name_fits(s.remote_url, path, suffix)) {
    return Refusal::kNameTooLong;
  }
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  char source[32];
  util::inherited_path(source, 0);
  return build_put_command(line, source, path, s.remote_url, suffix, session.curl_config)
             ? Refusal::kNone
             : Refusal::kCommandTooLong;
}

Outcome send_with_retries(Pass& pass, const char* path, const FileIdentity& selected,
                          const char* config, int attempts, bool& server_down) {
  util::PinnedFile pin;
  Outcome pinned = pin_selected(pass, path, selected, pin);
  if (pinned != Outcome::kPending) return pinned;
  PutResult result = PutResult::kFailed;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    result = curl_put_file(pass, path, pin, config);
    if (result == PutResult::kRefused) return Outcome::kPassedBy;
    if (result == PutResult::kSent) return dispose_sent_file(pass, path, pin, selected);
    // A stopped run neither waits nor tries again: the file stays new.
    if (util::stop_signal() != 0) return Outcome::kFailed;
    sleep(kRetryDelay);  // after the last attempt too
  }
  server_down = result == PutResult::kServerDown;
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
    files.set_outcome(
        k, send_with_retries(pass, path, files.identity(k), config_, kAttempts, server_down));
    if (server_down) return SendEnd::kStop;
  }
  return SendEnd::kDone;
}

std::vector<util::Tool> CurlFileSender::tools() const { return {{util::kCurl, "sends the files"}}; }

}  // namespace upload
