// The record of one run, made once and passed first to every operation:
// the settings, whether the run only looks, and what it looked up once so
// that every step of the run decides on the same facts.
#pragma once

#include <cstddef>

#include "settings/settings.h"
#include "util/pin.h"

namespace settings {

struct Session {
  // Borrows `settings`, which must outlive the session; logs nothing.
  explicit Session(const ModuleSettings& settings, bool looks_only)
      : cfg(settings), dry(looks_only) {}
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
};

// Fills the facts of `session` that a run looks up once: whether the
// integrator's curl settings exist and the descriptor budget. A run (not
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
