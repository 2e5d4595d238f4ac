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

// The retention age in seconds: time_count times the seconds of time_unit
// (an unknown unit counts as hours). Changes nothing.
int64_t retention_seconds(const settings::ModuleSettings& settings);

// The unit of time_unit, in words ("days"); "hours" for an unknown one, as
// retention_seconds counts it. Changes nothing.
const char* unit_name(uint32_t unit);

// True when a file last modified at `mtime` is older than `age` at `now`;
// false where `mtime` plus `age` overflows (a file from the far future).
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
  unsigned undated = 0;           // files dated before the clock floor: unsent, never aged
  bool clock_behind = false;      // the clock read before the floor: nothing aged
  bool below_floor = false;       // the floor was not met when the run began
  bool out_of_reach = false;      // deleting this folder's files could not meet it
  double free_ratio = 0;          // available blocks of the file system after the run
  double free_inodes_ratio = 0;   // available inodes (1 where it reports none)
  bool error = false;             // the scan folder could not be read
};

// The record of one remove pass over the open scan folder.
struct Pass {
  // Borrows the session and the open folder, which must outlive the pass.
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

// What stands in the way of the free-space rule, nothing when no floor is
// set (a floor above 99 is refused: the rule is not applied); for check,
// the file system's free shares against the floor. Changes nothing, logs
// nothing.
void free_space_verdict(const Pass& pass, util::Findings& findings);

// Deletes (a dry pass: counts) the aged regular files of the folder, read
// from where its listing stands, then, below the floor, the oldest ones it
// needs for space (sent ones, then unsent, then undated ones, whose age is
// unknown); fills `pass.tally`, and for a dry pass `pass.first_for_space`.
// An undated file never ages, and while the clock reads before the clock
// floor nothing does (logged once, settings::kClockBehind at LOG_NOTICE).
// A file open for writing is kept, and so is one whose delete fails
// (silently: the next run tries again). An unsent or undated file goes for
// space only while it and the ones after it that no writer holds reach the
// floor, measured after each deletion (a dry pass: counted). A run logs each file deleted and
// each kept for a writer (LOG_NOTICE), each entry the scan passes by
// (LOG_ERR), one line for the free-space rule: LOG_NOTICE, or LOG_ERR when
// it deleted unsent files or the floor is out of reach, and the undated
// files it found (settings::log_undated). A dry pass deletes and logs
// nothing.
void remove_files(Pass& pass);

// Check's words for what a dry pass found the next remove would delete, by
// age and for space, in the order it would; notes added to `findings`,
// with free_space_verdict's. Changes nothing, logs nothing.
void describe_plan(const Pass& pass, util::Findings& findings);

// A whole remove run over a run's session: reads the watermark (one that
// lies ahead of the clock is logged: settings::log_watermark_ahead), opens
// the scan folder (when it cannot: logged at LOG_ERR, and a tally with
// `error`), reads from /proc which files are open for writing (into
// `session.writer_probe`), logs a refused floor at LOG_ERR, then
// remove_files. Returns what it did.
Tally op_remove(settings::Session& session);

}  // namespace retention
