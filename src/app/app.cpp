// A run from start to end: the operation, the session, the log, the wait.
#include "app/app.h"

#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/check.h"
#include "app/metrics.h"
#include "retention/retention.h"
#include "settings/session.h"
#include "upload/upload.h"
#include "util/cmdline.h"
#include "util/command.h"

namespace app {

namespace {

constexpr int kFtpProbes = 20;
constexpr unsigned kFtpProbeInterval = 60;

// The operation over the run's session, and its figures for the metrics
// folder.
void dispatch(Operation operation, settings::Session& session) {
  const settings::ModuleSettings& cfg = session.cfg;
  switch (operation) {
    case Operation::kUpload: write_upload_metrics(cfg, upload::op_upload(session), false); break;
    case Operation::kRemove: write_remove_metrics(cfg, retention::op_remove(session), false); break;
    case Operation::kOwnName:
      syslog(LOG_NOTICE, "unknown operation");
      print_usage(stderr);
      break;
    case Operation::kUnknown: syslog(LOG_NOTICE, "unknown operation"); break;
    case Operation::kCheck:
    case Operation::kNone: break;
  }
}

// The figures of an operation that never ran: the FTP wait gave up.
void ftp_timeout_metrics(Operation operation, const settings::Session& session) {
  const settings::ModuleSettings& cfg = session.cfg;
  if (cfg.metrics_dir[0] == '\0') return;
  if (operation == Operation::kUpload) write_upload_metrics(cfg, upload::backlog(session), true);
  if (operation == Operation::kRemove) write_remove_metrics(cfg, retention::Tally{}, true);
}

}  // namespace

unsigned start_delay(unsigned spread, const char* machine_id) {
  if (spread == 0) return 0;
  uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a over the id's text
  char id[128] = "";
  FILE* file = fopen(machine_id, "re");
  bool known = file != nullptr && fgets(id, sizeof id, file) != nullptr;
  if (file != nullptr) fclose(file);
  id[strcspn(id, "\r\n")] = '\0';
  if (known && id[0] != '\0') {
    for (const char* p = id; *p != '\0'; ++p) {
      hash = (hash ^ static_cast<unsigned char>(*p)) * 0x100000001b3ULL;
    }
  } else if (getrandom(&hash, sizeof hash, 0) != static_cast<ssize_t>(sizeof hash)) {
    hash = static_cast<uint64_t>(getpid()) * 0x9e3779b97f4a7c15ULL;
  }
  return static_cast<unsigned>(hash % spread);
}

Operation operation_for(int argc, char* const* argv) {
  if (argc < 1 || argv[0] == nullptr) return Operation::kNone;
  const char* slash = strrchr(argv[0], '/');
  const char* name = slash != nullptr ? slash + 1 : argv[0];
  if (strcmp(name, "upload") == 0) return Operation::kUpload;
  if (strcmp(name, "remove") == 0) return Operation::kRemove;
  if (strcmp(name, "vastrel") != 0) return Operation::kUnknown;
  return argc == 2 && strcmp(argv[1], "check") == 0 ? Operation::kCheck : Operation::kOwnName;
}

bool wait_for_ftp_idle() {
  char buffer[64];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(line, {kKillall, " -0 ftpd 2> /dev/null"});
  for (int probe = 0; probe < kFtpProbes; ++probe) {
    // Anything but exit 0: no ftpd, or the probe could not run or start;
    // each counts as idle.
    if (!util::run_shell(line.text).ok()) {
      return true;
    }
    sleep(kFtpProbeInterval);
  }
  syslog(LOG_NOTICE,
         "waiting for disconnection all FTP client failed because of %u minutes timeout passed",
         kFtpProbes * kFtpProbeInterval / 60);
  return false;
}

int run(int argc, char* const* argv) {
  Operation operation = operation_for(argc, argv);
  // check only looks: no session, no log line, no FTP wait.
  if (operation == Operation::kCheck) return run_check(stdout);
  setsid();
  // Without the handlers a stop still ends the run at once, and the next
  // run stops the tool it leaves (the lock file's record).
  static_cast<void>(util::catch_stop_signals());
  openlog("vastrel", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(LOG_NOTICE, "started");
  settings::ModuleSettings cfg;
  util::Findings trust(false);
  FILE* file = settings::open_settings(settings::kSettingsPath, trust);
  settings::read_settings(cfg, file);
  if (file != nullptr) fclose(file);
  if (trust.log_refusal()) {
    // Settings that others could have written steer nothing.
    syslog(LOG_NOTICE, "exited");
    return 0;
  }
  settings::Session session(cfg, false);
  settings::look_up_facts(session);
  if (operation == Operation::kUpload && cfg.start_spread != 0) {
    // Devices started by the same schedule would reach the server at once.
    unsigned delay = start_delay(cfg.start_spread, kMachineId);
    syslog(LOG_NOTICE, "Start spread: this run waits %u seconds before it starts", delay);
    sleep(delay);
  }
  if (cfg.check_ftp != 0 && !wait_for_ftp_idle()) {
    ftp_timeout_metrics(operation, session);
    return 1;
  }
  session.now = time(nullptr);  // the waits are over: the run's clock from here
  // A stop during the waits above ends the run before its operation.
  if (util::stop_signal() == 0) dispatch(operation, session);
  if (util::stop_signal() != 0) syslog(LOG_NOTICE, "Stopped by signal %d", util::stop_signal());
  syslog(LOG_NOTICE, "exited");
  return 0;
}

}  // namespace app
