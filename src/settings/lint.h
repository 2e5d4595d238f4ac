// What the reading rules make of a settings file, told to a person.
#pragma once

#include "settings/settings.h"
#include "util/findings.h"

namespace settings {

// Loads `s` from `path` and says what was read: every key with its value
// (secrets only as set or empty, URLs without their password, marking
// those left at their default), and a warning for each line the reading
// rules take otherwise than its writer likely meant. A file that others
// than root can change is a problem (open_settings' refusal), read as all
// defaults. Changes only `s`; logs nothing.
void settings_verdict(ModuleSettings& s, util::Findings& findings,
                      const char* path = kSettingsPath);

}  // namespace settings
