// The record of one run, made once and passed first to every operation:
// the settings, whether the run only looks, and what it looked up once so
// that every step of the run decides on the same facts.
#pragma once

#include <cstddef>
#include <cstring>
#include <ctime>

#include "settings/settings.h"
#include "util/pin.h"

namespace settings {

// The clock floor: the moment this program was built. No true time on a
// device running it lies before it. Changes nothing.
time_t clock_floor();

struct Session {
  // Borrows `settings`, which must outlive the session; logs nothing.
  explicit Session(const ModuleSettings& settings, bool looks_only)
      : cfg(settings), dry(looks_only) {}
  // A dry session over `settings` that decides on the facts `looked` found
  // (curl settings, writer probe, clock); borrows `settings`.
  Session(const ModuleSettings& settings, const Session& looked)
      : cfg(settings),
        dry(true),
        curl_config(looked.curl_config),
        writer_probe(looked.writer_probe),
        now(looked.now) {
    memcpy(host_name, looked.host_name, sizeof host_name);
  }
  // Read-only for the whole run.
  const ModuleSettings& cfg;
  // check: every decision a run makes, and no effect of any.
  const bool dry;
  // The lock file (borrowed, -1 until the lock is held): names the process
  // group of a running tool, so that a later run can stop what a killed
  // one left.
  int record_fd = -1;
  // The integrator's curl settings exist: every curl of the run reads them.
  bool curl_config = false;
  // How many files a child may be given at once.
  size_t descriptor_budget = 1;
  // How the run tells a file open for writing (decide_writer_probe).
  util::WriterProbe writer_probe;
  // The run's clock, read once its waits are over: every decision by age
  // counts from it.
  time_t now = 0;
  // clock_floor(), held here so that every step compares against the same.
  time_t floor = clock_floor();
  // The host name (uname's nodename), what {device} stands for without
  // MOD_VASTREL_DEVICE; "" when it cannot be read.
  char host_name[65] = "";
};

// What {device} in the remote URL stands for: MOD_VASTREL_DEVICE, or the
// host name where the key is unset or empty. Changes nothing.
const char* device_name(const Session& session);

// True when `device` can name a remote folder: not empty, "." or "..", no
// "/" or control character, at most 64 characters. Changes nothing.
bool usable_device(const char* device);

constexpr const char* kDeviceRefusal =
    "Device name \"%s\" cannot be a folder name, nothing is sent";
constexpr const char* kClockBehindDates =
    "The clock reads %s, before this program was built: files whose remote path needs a date "
    "wait";

// Whether a regular file modified at `mtime` is undated: after 0 and before
// the floor, and not stamped to the watermark. Its time says nothing of
// whether it was sent, so it counts as unsent. Changes nothing.
bool undated(const Session& session, time_t mtime, time_t watermark);

// Whether the run's clock reads before the floor: it was never set since
// the device started, and no age counted from it means anything. Changes
// nothing.
bool clock_behind(const Session& session);

// The exact texts of the clock's notices, each with its UTC times.
constexpr const char* kClockBehind =
    "The clock reads %s, before this program was built: nothing is removed by age";
constexpr const char* kWatermarkAhead = "The watermark %s lies after the clock %s";

// How far a time may lie ahead of the run's clock before it counts as in
// the future: the clocks of the device that set it and of this run may
// differ a little.
constexpr time_t kClockSlack = 60;

// Whether the watermark lies more than a minute after the run's clock (it
// was set while the clock was ahead, or the clock is behind). Changes
// nothing.
bool watermark_ahead(const Session& session, time_t watermark);

// A run's notices of the clock: the watermark ahead of it (kWatermarkAhead),
// and `undated` files found, once each at LOG_NOTICE; a dry session logs
// nothing. Changes nothing else.
void log_watermark_ahead(const Session& session, time_t watermark);
void log_undated(const Session& session, unsigned undated);

// Fills the facts of `session` that a run looks up once: whether the
// integrator's curl settings exist, the descriptor budget and the clock. A run (not
// a dry session) first raises its descriptor limit to the hard one. Both
// kinds make sure that a lease broken by a writer cannot end the process.
// Logs nothing.
void look_up_facts(Session& session);

constexpr const char* kLeasesRefused =
    "Scan folder's file system refuses leases, open files are found through /proc";

// Decides once a run how the passes over the open scan folder `dir_fd` tell
// a file open for writing, into `session.writer_probe`. `leases`: the
// caller asks by lease where it can (upload, check), so the lease is first
// tried on a file of the program's own there; where it is refused a run
// logs kLeasesRefused (LOG_NOTICE) and the processes' descriptors are read
// from /proc. Without `leases` (remove) only that look is made. Later
// calls change nothing already decided.
void decide_writer_probe(Session& session, int dir_fd, bool leases);

}  // namespace settings
