// The "remove" operation: deleting aged files of the scan folder, and, with
// a floor of free space, the oldest files (sent ones first) until the file
// system has that much available again.
#pragma once

#include <sys/statvfs.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "settings/session.h"
#include "util/findings.h"
#include "util/scandir.h"

namespace retention {

// The retention age in seconds: time_count times the seconds of time_unit.
int64_t retention_seconds(const settings::ModuleSettings& settings);

// The unit of time_unit, in words ("days").
const char* unit_name(uint32_t unit);

// True when a file last modified at `mtime` is older than `age` at `now`.
bool is_aged(time_t mtime, int64_t age, time_t now);

// What a remove run did (a dry pass: would do), for the metrics file.
struct Tally {
  unsigned regular = 0;  // regular files it looked at
  unsigned deleted = 0;  // by either rule
  unsigned unsent = 0;   // of those, files newer than the watermark: never sent
  unsigned deleted_for_space = 0;
  int64_t bytes_for_space = 0;
  unsigned unsent_for_space = 0;  // of those, never sent
  unsigned unsent_kept = 0;       // the floor was out of reach: unsent files kept
  bool below_floor = false;       // the floor was not met when the run began
  bool out_of_reach = false;      // deleting this folder's files could not meet it
  double free_ratio = 0;          // available blocks of the file system after the run
  double free_inodes_ratio = 0;   // available inodes (1 where it reports none)
  bool error = false;             // the scan folder could not be read
};

// The record of one remove pass over the open scan folder.
struct Pass {
  Pass(const settings::Session& run, const util::Dir& folder, time_t at, time_t mark)
      : session(run), cfg(run.cfg), dir(folder), now(at), watermark(mark) {}
  const settings::Session& session;  // a dry one: count, delete and log nothing
  const settings::ModuleSettings& cfg;  // the session's
  const util::Dir& dir;
  time_t now;
  time_t watermark;
  Tally tally;
  // A dry pass: the first files the free-space rule would delete, in order.
  std::vector<std::pair<time_t, std::string>> first_for_space;
};

// What stands in the way of the free-space rule (a floor above 99 is
// refused: the rule is not applied); for check, the file system's free
// shares against the floor.
void free_space_verdict(const Pass& pass, util::Findings& findings);

// Deletes (a dry pass: counts) the aged regular files of the folder, then,
// below the floor, the oldest ones it needs for space.
void remove_files(Pass& pass);

// Check's words for what a dry pass found the next remove would delete, by
// age and for space, in the order it would.
void describe_plan(const Pass& pass, util::Findings& findings);

// A whole remove run over a run's session: logs what it deletes and every
// failure; returns what it did.
Tally op_remove(const settings::Session& session);

}  // namespace retention
