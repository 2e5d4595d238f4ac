// The record of one run, made once and passed first to every operation:
// the settings, whether the run only looks, and what it looked up once so
// that every step of the run decides on the same facts.
#pragma once

#include <cstddef>

#include "settings/settings.h"

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
};

// Fills the facts of `session` that a run looks up once: whether the
// integrator's curl settings exist and the descriptor budget. A run (not
// a dry session) first raises its descriptor limit to the hard one. Both
// kinds make sure that a lease broken by a writer cannot end the process.
// Logs nothing.
void look_up_facts(Session& session);

}  // namespace settings
