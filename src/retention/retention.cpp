// The remove operation: the age bound, then the floor of free space.
#include "retention/retention.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>

#include "util/command.h"
#include "util/filestat.h"
#include "util/pin.h"

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

// The floor in force, in percent: 0 when it is off (unset, or refused).
unsigned floor_of(const settings::ModuleSettings& s) { return s.keep_free <= 99 ? s.keep_free : 0; }

// What the file system lacks to meet the floor: fragments and inodes that
// are to be made available to an unprivileged writer.
struct Shortfall {
  uint64_t blocks = 0;
  uint64_t inodes = 0;
  bool any() const { return blocks != 0 || inodes != 0; }
  bool covered_by(uint64_t free_blocks, uint64_t free_inodes) const {
    return free_blocks >= blocks && free_inodes >= inodes;
  }
  void take(uint64_t free_blocks, uint64_t free_inodes) {
    blocks -= std::min(blocks, free_blocks);
    inodes -= std::min(inodes, free_inodes);
  }
};

// What `available` of `total` lacks to be `percent` of it.
uint64_t lacking(uint64_t available, uint64_t total, unsigned percent) {
  uint64_t wanted = (total / 100) * percent + ((total % 100) * percent + 99) / 100;
  return available >= wanted ? 0 : wanted - available;
}

Shortfall shortfall(const struct statvfs& fs, unsigned percent) {
  Shortfall need;
  need.blocks = lacking(fs.f_bavail, fs.f_blocks, percent);
  // A file system that reports no inodes has no inode limit.
  if (fs.f_files > 0) need.inodes = lacking(fs.f_favail, fs.f_files, percent);
  return need;
}

double ratio(uint64_t part, uint64_t whole) {
  return whole == 0 ? 1.0 : static_cast<double>(part) / static_cast<double>(whole);
}

// A file the free-space rule may take: a regular file of one link (another
// link frees nothing) that the age rule left. 24 bytes and the name.
struct Candidate {
  int64_t mtime_sec;
  int32_t mtime_nsec;
  uint32_t name;
  uint32_t frees;  // fragments of the file system (a file of 16 TiB counts as less)
  bool held;       // an unsent file a writer held open when the plan was made
};

class Candidates {
 public:
  void add(const util::ScanEntry& entry, uint64_t frees, bool held) {
    items_.push_back(Candidate{static_cast<int64_t>(entry.st.st_mtim.tv_sec),
                               static_cast<int32_t>(entry.st.st_mtim.tv_nsec),
                               names_.add(entry.name),
                               static_cast<uint32_t>(std::min<uint64_t>(frees, UINT32_MAX)), held});
  }
  // Oldest first, the name breaking ties.
  void sort() {
    std::sort(items_.begin(), items_.end(), [this](const Candidate& a, const Candidate& b) {
      if (a.mtime_sec != b.mtime_sec) return a.mtime_sec < b.mtime_sec;
      if (a.mtime_nsec != b.mtime_nsec) return a.mtime_nsec < b.mtime_nsec;
      return strcmp(names_.at(a.name), names_.at(b.name)) < 0;
    });
  }
  const std::deque<Candidate>& items() const { return items_; }
  const char* name(const Candidate& c) const { return names_.at(c.name); }

 private:
  std::deque<Candidate> items_;  // grows without copying what it holds
  util::Names names_;
};

// A file may go unless a process holds it open for writing: deleted under
// its writer, the bytes it writes next would go to no name. Asked of the
// run's one look at /proc, not a lease a file: that costs a stat, not an
// open, a lease and a close, and sees the same on every file system
// (leases are refused on NFSv4 and CIFS); what it misses is in
// util::WriterProbe. A name that cannot be looked at stays.
bool held_by_writer(const Pass& pass, const char* name) {
  return util::seen_writing(pass.session.writer_probe, pass.dir.fd(), name) ==
         util::Writers::kOpen;
}

// A file kept for its writer, in a run's log.
void log_held(const Pass& pass, const char* path) {
  if (!pass.session.dry) syslog(LOG_NOTICE, "File %s is open for writing, not removed", path);
}

// Asked just before a deletion; logs the file it keeps.
bool free_to_delete(const Pass& pass, const char* name, const char* path) {
  if (!held_by_writer(pass, name)) return true;
  log_held(pass, path);
  return false;
}

// What the free-space rule takes, in this order: sent files, unsent ones,
// then undated ones (unsent, of unknown age).
enum Standing { kSent, kUnsent, kUndated };

Standing standing(const Pass& pass, time_t mtime) {
  if (mtime > pass.watermark) return kUnsent;
  return settings::undated(pass.session, mtime, pass.watermark) ? kUndated : kSent;
}

// Deletes one file (a dry pass: says it would); false when it is passed by.
bool delete_file(Pass& pass, const char* name, const char* path, time_t mtime) {
  if (util::stop_signal() != 0) return false;  // a stopped run deletes no more
  if (!free_to_delete(pass, name, path)) return false;
  if (!pass.session.dry) {
    if (unlinkat(pass.dir.fd(), name, 0) != 0) return false;  // tried again next run
    syslog(LOG_NOTICE, "File %s were removed", path);
  }
  ++pass.tally.deleted;
  if (standing(pass, mtime) != kSent) ++pass.tally.unsent;
  return true;
}

// What the file system lacks now. A run reads it again after each deletion:
// an unlinked file that another process still holds open frees nothing until
// its close. A dry pass deletes nothing, so only its estimate counts down.
void refresh(const Pass& pass, Shortfall& need, unsigned floor) {
  struct statvfs fs;
  if (!pass.session.dry && fstatvfs(pass.dir.fd(), &fs) == 0) need = shortfall(fs, floor);
}

// The unsent candidates still to be decided about.
struct UnsentLeft {
  uint64_t blocks = 0;  // what deleting the ones no writer holds frees
  uint64_t files = 0;   // those
  unsigned kept = 0;    // all, the held ones included
};

UnsentLeft unsent_left(const Pass& pass, const Candidates& candidates) {
  UnsentLeft left;
  for (const Candidate& c : candidates.items()) {
    if (standing(pass, c.mtime_sec) == kSent) continue;
    ++left.kept;
    if (c.held) continue;
    left.blocks += static_cast<uint64_t>(c.frees);
    ++left.files;
  }
  return left;
}
// Frees fragments for the floor: sent files first, oldest first; then
// unsent ones, oldest first, and undated ones last, each only while it and
// the deletable unsent and undated files after it reach the floor.
// `fragment` is the file system's unit, in bytes.
void free_space(Pass& pass, const Candidates& candidates, Shortfall need, unsigned floor,
                uint64_t fragment) {
  UnsentLeft left = unsent_left(pass, candidates);
  Tally& tally = pass.tally;
  refresh(pass, need, floor);
  for (Standing phase : {kSent, kUnsent, kUndated}) {
    bool unsent = phase != kSent;
    for (const Candidate& c : candidates.items()) {
      if (!need.any()) return;
      if (standing(pass, c.mtime_sec) != phase) continue;
      char path[util::kPathSize];
      if (!util::join_path(path, sizeof path, pass.cfg.scan_folder, candidates.name(c))) continue;
      if (unsent && c.held) {
        log_held(pass, path);
        continue;
      }
      if (unsent) {
        if (!need.covered_by(left.blocks, left.files)) break;  // out of reach: keep the rest
        left.blocks -= static_cast<uint64_t>(c.frees);
        --left.files;
      }
      if (!delete_file(pass, candidates.name(c), path, c.mtime_sec)) continue;
      left.kept -= unsent;
      need.take(static_cast<uint64_t>(c.frees), 1);
      refresh(pass, need, floor);
      ++tally.deleted_for_space;
      tally.bytes_for_space += static_cast<int64_t>(c.frees * fragment);
      tally.unsent_for_space += unsent;
      if (pass.session.dry && pass.first_for_space.size() < util::kFirstShown) {
        pass.first_for_space.emplace_back(c.mtime_sec, candidates.name(c));
      }
    }
  }
  if (need.any()) {
    tally.out_of_reach = true;  // something outside the folder fills the disk
    tally.unsent_kept = left.kept;
  }
}

// What the free-space rule did: one line, or two when unsent files went
// before the floor proved out of reach.
void log_space(const Pass& pass, unsigned floor) {
  const Tally& t = pass.tally;
  if (pass.session.dry) return;
  if (t.out_of_reach) {
    syslog(LOG_ERR,
           "Scan folder's file system is below %u%% free and removing this folder's files cannot "
           "reach it; %u unsent files kept",
           floor, t.unsent_kept);
  }
  if (t.unsent_for_space > 0) {
    syslog(LOG_ERR,
           "Scan folder's file system was below %u%% free: %u files (%lld bytes) removed, %u of "
           "them never sent",
           floor, t.deleted_for_space, static_cast<long long>(t.bytes_for_space),
           t.unsent_for_space);
  } else if (t.deleted_for_space > 0 && !t.out_of_reach) {
    syslog(LOG_NOTICE,
           "Scan folder's file system was below %u%% free: %u files (%lld bytes) removed", floor,
           t.deleted_for_space, static_cast<long long>(t.bytes_for_space));
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

void free_space_verdict(const Pass& pass, util::Findings& findings) {
  unsigned keep = pass.cfg.keep_free;
  if (keep == 0) return;
  if (keep > 99) {
    findings.refuse("MOD_VASTREL_KEEP_FREE=%u is above 99: the free-space rule is not applied",
                    keep);
    return;
  }
  struct statvfs fs;
  if (fstatvfs(pass.dir.fd(), &fs) != 0) return;
  findings.note("  its file system: %.1f%% of blocks and %.1f%% of inodes available, floor %u%%\n",
                100 * ratio(fs.f_bavail, fs.f_blocks), 100 * ratio(fs.f_favail, fs.f_files), keep);
}

void describe_plan(const Pass& pass, util::Findings& findings) {
  const Tally& t = pass.tally;
  const settings::ModuleSettings& s = pass.cfg;
  findings.note("  next remove would delete %u files (last modified more than %u %s ago%s)\n",
                t.deleted - t.deleted_for_space, s.time_count, unit_name(s.time_unit),
                s.keep_unsent != 0 ? "; unsent ones only for space" : "");
  if (t.clock_behind) {
    findings.problem(settings::kClockBehind, util::utc_text(pass.now, util::kUtcTime).text);
  }
  free_space_verdict(pass, findings);
  if (t.out_of_reach) {
    findings.note("  and the floor is out of reach: %u unsent files would be kept\n",
                  t.unsent_kept);
  }
  if (t.deleted_for_space == 0) return;
  findings.note("  and for space %u files (%lld bytes), %u of them never sent, first:\n",
                t.deleted_for_space, static_cast<long long>(t.bytes_for_space), t.unsent_for_space);
  for (const auto& [mtime, name] : pass.first_for_space) {
    findings.note("    %s  %s\n", util::utc_text(mtime).text, name.c_str());
  }
}

void remove_files(Pass& pass) {
  int64_t age = retention_seconds(pass.cfg);
  unsigned floor = floor_of(pass.cfg);
  struct statvfs fs {};
  Shortfall need;
  if (floor != 0 && fstatvfs(pass.dir.fd(), &fs) == 0) need = shortfall(fs, floor);
  // Only below the floor does the pass hold the free-space rule's candidates.
  pass.tally.below_floor = need.any();
  // A clock never set since the device started makes every age meaningless.
  pass.tally.clock_behind = settings::clock_behind(pass.session);
  if (pass.tally.clock_behind && !pass.session.dry) {
    syslog(LOG_NOTICE, settings::kClockBehind, util::utc_text(pass.now, util::kUtcTime).text);
  }
  uint64_t fragment = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize != 0 ? fs.f_bsize : 512;
  Candidates candidates;
  util::SkipCounts skips;  // a dry pass counts what a run logs
  util::ScanEntry entry;
  while (
      util::next_regular_file(pass.dir, pass.cfg.scan_folder, entry, pass.session.dry ? &skips : nullptr)) {
    ++pass.tally.regular;
    // What deleting it frees: nothing while another link holds it.
    bool frees_any = entry.st.st_nlink == 1;
    uint64_t frees = static_cast<uint64_t>(entry.st.st_blocks) * 512 / fragment;
    Standing kind = standing(pass, entry.st.st_mtime);
    pass.tally.undated += kind == kUndated;
    bool ages = kind == kSent || (kind == kUnsent && pass.cfg.keep_unsent == 0);
    if (ages && !pass.tally.clock_behind && is_aged(entry.st.st_mtime, age, pass.now)) {
      if (delete_file(pass, entry.name, entry.path, entry.st.st_mtime) && frees_any) {
        need.take(frees, 1);
      }
      continue;
    }
    // An unsent (or undated) file its writer holds is no part of the plan for space: it
    // could not be deleted. Asked once, and only below the floor. The probe
    // tells writers only; a file another process holds open read-only frees
    // nothing either, which no cheap probe tells: the free space read after
    // each deletion catches that. Sent files are asked as they go.
    if (pass.tally.below_floor && frees_any) {
      candidates.add(entry, frees, kind != kSent && held_by_writer(pass, entry.name));
    }
  }
  if (pass.tally.below_floor) {  // the aged files may have freed less than counted
    candidates.sort();
    free_space(pass, candidates, need, floor, fragment);
    log_space(pass, floor);
  }
  settings::log_undated(pass.session, pass.tally.undated);
  // The free shares after the run, for the metrics.
  if (fstatvfs(pass.dir.fd(), &fs) == 0) {
    pass.tally.free_ratio = ratio(fs.f_bavail, fs.f_blocks);
    pass.tally.free_inodes_ratio = ratio(fs.f_favail, fs.f_files);
  }
}

Tally op_remove(settings::Session& session) {
  const settings::ModuleSettings& s = session.cfg;
  util::Dir dir;
  if (!util::open_scan_folder(dir, s.scan_folder)) {
    Tally tally;
    tally.error = true;
    return tally;
  }
  time_t watermark = util::watermark_mtime();
  settings::log_watermark_ahead(session, watermark);
  settings::decide_writer_probe(session, dir.fd(), false);
  Pass pass{session, dir, session.now, watermark};
  util::Findings space(false);
  free_space_verdict(pass, space);
  space.log_refusal();
  remove_files(pass);
  return pass.tally;
}

}  // namespace retention
