// The "remove" operation: deleting aged files of the scan folder.
#pragma once

#include <cstdint>
#include <ctime>

#include "settings/settings.h"
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
  unsigned deleted = 0;
  unsigned unsent = 0;  // of those, files newer than the watermark: never sent
  bool error = false;   // the scan folder could not be read
};

// The record of one remove pass over the open scan folder.
struct Pass {
  Pass(const settings::ModuleSettings& s, const util::Dir& folder, time_t at, time_t mark)
      : cfg(s), dir(folder), now(at), watermark(mark) {}
  const settings::ModuleSettings& cfg;
  const util::Dir& dir;
  time_t now;
  time_t watermark;
  bool dry = false;  // check: count, delete and log nothing
  Tally tally;
};

// Deletes (a dry pass: counts) the aged regular files of the folder.
void remove_aged(Pass& pass);

// A whole remove run; returns what it did.
Tally op_remove(const settings::ModuleSettings& s);

}  // namespace retention
