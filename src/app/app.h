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
Operation operation_for(int argc, char* const* argv);

// Waits while an ftpd process exists; false after 20 busy probes.
bool wait_for_ftp_idle();

// The delay below `spread` seconds that an upload run of this device waits
// first: the same on every run, from the machine id in `machine_id` (spread
// evenly across a fleet), or random where there is none.
unsigned start_delay(unsigned spread, const char* machine_id);

// One whole run; returns the exit status.
int run(int argc, char* const* argv);

}  // namespace app
