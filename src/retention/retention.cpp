// The remove operation: the age bound, then deleting what is past it.
#include "retention/retention.h"

#include <syslog.h>
#include <unistd.h>

#include <ctime>

#include "util/filestat.h"

namespace retention {

namespace {

int64_t seconds_per_unit(uint32_t unit) {
  switch (unit) {
    case 2: return 86400;     // day
    case 3: return 2592000;   // month of 30 days
    case 4: return 31104000;  // year of 360 days
    default: return 3600;     // hour
  }
}

}  // namespace

const char* unit_name(uint32_t unit) {
  switch (seconds_per_unit(unit)) {
    case 86400: return "days";
    case 2592000: return "months of 30 days";
    case 31104000: return "years of 360 days";
    default: return "hours";
  }
}

bool is_aged(time_t mtime, int64_t age, time_t now) {
  int64_t limit = 0;
  // A modification time so far ahead that adding the age overflows is a
  // future file, never an aged one.
  if (__builtin_add_overflow(static_cast<int64_t>(mtime), age, &limit)) return false;
  return limit < static_cast<int64_t>(now);
}

int64_t retention_seconds(const settings::ModuleSettings& s) {
  return static_cast<int64_t>(s.time_count) * seconds_per_unit(s.time_unit);
}

void remove_aged(Pass& pass) {
  int64_t age = retention_seconds(pass.cfg);
  util::SkipCounts skips;  // a dry pass counts what a run logs
  util::ScanEntry entry;
  while (
      util::next_regular_file(pass.dir, pass.cfg.scan_folder, entry, pass.dry ? &skips : nullptr)) {
    ++pass.tally.regular;
    if (!is_aged(entry.st.st_mtime, age, pass.now)) continue;
    if (!pass.dry) {
      if (unlinkat(pass.dir.fd(), entry.name, 0) != 0) continue;
      syslog(LOG_NOTICE, "File %s were removed", entry.path);
    }
    ++pass.tally.deleted;
    if (entry.st.st_mtime > pass.watermark) ++pass.tally.unsent;
  }
}

Tally op_remove(const settings::ModuleSettings& s) {
  time_t now = time(nullptr);
  time_t watermark = util::file_mtime(util::kWatermark);
  util::Dir dir;
  if (!util::open_scan_folder(dir, s.scan_folder)) {
    Tally tally;
    tally.error = true;
    return tally;
  }
  Pass pass{s, dir, now, watermark};
  remove_aged(pass);
  return pass.tally;
}

}  // namespace retention
