// The "remove" operation: deleting aged files of the scan folder.
#pragma once

#include <cstdint>
#include <ctime>

#include "settings/settings.h"

namespace retention {

// The retention age in seconds: time_count times the seconds of time_unit.
int64_t retention_seconds(const settings::ModuleSettings& settings);

// The unit of time_unit, in words ("days").
const char* unit_name(uint32_t unit);

// True when a file last modified at `mtime` is older than `age` at `now`.
bool is_aged(time_t mtime, int64_t age, time_t now);

// What this remove run did, for the metrics file.
struct RemoveTally {
  unsigned deleted = 0;
  unsigned unsent = 0;  // of those, files newer than the watermark: never sent
  bool error = false;   // the scan folder could not be read
};
extern RemoveTally removed;

void op_remove();

}  // namespace retention
