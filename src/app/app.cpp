#include "app/app.h"

#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "app/check.h"
#include "retention/retention.h"
#include "settings/settings.h"
#include "upload/upload.h"
#include "util/command.h"

namespace app {

namespace {

constexpr int kFtpProbes = 20;
constexpr unsigned kFtpProbeInterval = 60;

}  // namespace

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
  for (int probe = 0; probe < kFtpProbes; ++probe) {
    // Non-zero: no ftpd, or the probe could not run; both count as idle.
    if (util::run_command("/bin/sh", "-c", "killall -0 ftpd 2> /dev/null", nullptr) != 0) {
      return true;
    }
    sleep(kFtpProbeInterval);
  }
  syslog(LOG_NOTICE,
         "waiting for disconnection all FTP client failed because of 20 minutes timeout passed");
  return false;
}

int run(int argc, char* const* argv) {
  Operation operation = operation_for(argc, argv);
  // check only looks: no session, no log line, no FTP wait.
  if (operation == Operation::kCheck) return run_check(stdout);
  setsid();
  openlog("vastrel", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(LOG_NOTICE, "started");
  settings::load_settings(settings::cfg);
  if (settings::cfg.check_ftp != 0 && !wait_for_ftp_idle()) return 1;
  switch (operation) {
    case Operation::kUpload: upload::op_upload(); break;
    case Operation::kRemove: retention::op_remove(); break;
    case Operation::kOwnName:
      syslog(LOG_NOTICE, "unknown operation");
      print_usage(stderr);
      break;
    case Operation::kUnknown: syslog(LOG_NOTICE, "unknown operation"); break;
    case Operation::kCheck:
    case Operation::kNone: break;
  }
  syslog(LOG_NOTICE, "exited");
  return 0;
}

}  // namespace app
