// The frame of a run: session, log, settings, FTP idle wait, dispatch.
#pragma once

namespace app {

// The device's id, from which its start delay is derived.
constexpr const char* kMachineId = "/etc/machine-id";
// Tells whether an FTP client is connected (an ftpd process exists).
constexpr const char* kKillall = "killall";

// kOwnName: an unknown operation under the program's own name, which also
// gets the usage on standard error.
enum class Operation { kNone, kUpload, kRemove, kCheck, kOwnName, kUnknown };

// The operation named by the last component of argv[0]; kNone for argc 0.
// Under the program's own name, the single argument "check" is kCheck.
// Changes nothing, logs nothing.
Operation operation_for(int argc, char* const* argv);

// Waits while an ftpd process exists, probing ("killall -0 ftpd") once a
// minute. True as soon as none is left, or when the probe cannot run;
// false after 20 busy probes, logged at LOG_NOTICE. Changes nothing.
bool wait_for_ftp_idle();

// The delay below `spread` seconds that an upload run of this device waits
// first: the same on every run, from the machine id in `machine_id` (spread
// evenly across a fleet), or random where there is none. 0 when `spread`
// is 0. Only reads that file; changes nothing, logs nothing.
unsigned start_delay(unsigned spread, const char* machine_id);

// One whole run under the name in argv[0]; returns the exit status.
// check only prints its report to standard output and returns its status.
// Any other name starts a new session (setsid), opens the system log
// and logs "started" and, at the end, "exited" (LOG_NOTICE); an unknown
// name logs "unknown operation" (LOG_NOTICE), and under the program's own
// name also prints the usage to standard error. An upload with a start
// spread first waits it out (logged). With MOD_VASTREL_CHECKFTP the FTP
// wait comes next: when it gives up, the operation's metrics say so and
// the status is 1, with no "exited" line. Else the operation runs and the
// status is 0.
int run(int argc, char* const* argv);

}  // namespace app
