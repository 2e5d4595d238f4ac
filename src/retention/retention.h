// The "remove" operation: deleting aged files of the scan folder.
#pragma once

#include <cstdint>

#include "settings/settings.h"

namespace retention {

// The retention age in seconds: time_count times the seconds of time_unit.
int64_t retention_seconds(const settings::ModuleSettings& settings);

void op_remove();

}  // namespace retention
