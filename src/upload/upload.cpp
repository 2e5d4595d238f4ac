// The upload pass: select the new files, hand them to the mode, tally.
#include "upload/upload.h"

#include <fcntl.h>
#include <syslog.h>

#include <cstdint>
#include <cstring>

#include "download/download.h"
#include "upload/curl_batch.h"
#include "upload/curl_file.h"
#include "upload/resume.h"
#include "upload/selection.h"
#include "upload/sftp.h"
#include "upload/target.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/filestat.h"
#include "util/pin.h"
#include "util/scratch.h"

namespace upload {

namespace {

// The selection: a regular file strictly newer than the watermark, or one
// whose time says nothing (undated, counted).
bool is_new(Pass& pass, const util::ScanEntry& entry) {
  if (entry.st.st_mtime > pass.watermark) return true;
  if (!settings::undated(pass.session, entry.st.st_mtime, pass.watermark)) return false;
  ++pass.tally.undated;
  return true;
}

void log_refusal(Refusal refusal, const char* path) {
  switch (refusal) {
    case Refusal::kNone:
    case Refusal::kUnreadable: break;  // logged by pin_selected
    case Refusal::kControl:
      syslog(LOG_ERR, "File name %s holds a control character, not sent", path);
      break;
    case Refusal::kNameTooLong:
      syslog(LOG_ERR, "Remote name of file %s would be longer than %zu characters, not sent", path,
             util::kPathSize - 1);
      break;
    case Refusal::kQueueLineTooLong:
      syslog(LOG_ERR, "Queue line for file %s is longer than %zu characters, not sent", path,
             kQueueLineSize - 1);
      break;
    case Refusal::kTooLarge:
      syslog(LOG_ERR,
             "File %s is larger than one upload to object storage can hold (5 GiB), not sent",
             path);
      break;
    case Refusal::kCommandTooLong:
      syslog(LOG_ERR, "Command line for file %s is longer than %zu characters, not sent", path,
             util::kCommandSize - 1);
      break;
  }
}

// A new file has settled when it has gone MOD_VASTREL_MIN_AGE seconds
// unmodified and no process holds it open for writing, asked the run's way
// (settings::decide_writer_probe). A pass that acts asks when it pins the file
// (pin_selected), one that only counts, which pins nothing, here; either
// costs only files that are new and old enough. A file dated more than a
// minute ahead of the clock has no age to wait out: its writer alone says.
bool settled(const Pass& pass, const util::ScanEntry& entry) {
  int64_t age = static_cast<int64_t>(pass.now) - static_cast<int64_t>(entry.st.st_mtime);
  if (age >= -settings::kClockSlack && age < static_cast<int64_t>(pass.cfg.min_age)) return false;
  return pass.acts() ||
         util::writers_of(pass.session.writer_probe, pass.dir.fd(), entry.name) !=
             util::Writers::kOpen;
}

// The date a file's remote path takes: its own, or, for an undated file,
// the run's, unless the run's clock reads before the floor too (-1).
time_t file_date(const Pass& pass, const util::ScanEntry& entry) {
  if (!settings::undated(pass.session, entry.st.st_mtime, pass.watermark)) return entry.st.st_mtime;
  return settings::clock_behind(pass.session) ? -1 : pass.now;
}

// Adds the new files the sender can send to `files`, at most `limit`,
// logging (a pass that does not act: counting) those it cannot: they stay
// new. True while the scan has more to give.
bool select_new_files(Pass& pass, const Sender& sender, Selection& files, size_t limit) {
  util::ScanEntry entry;
  util::SkipCounts* skips = pass.acts() ? nullptr : &pass.tally.skips;
  while (files.size() < limit) {
    if (!util::next_regular_file(pass.dir, pass.cfg.scan_folder, entry, skips)) return false;
    if (!is_new(pass, entry)) continue;
    if (pass.cfg.min_age != 0 && !settled(pass, entry)) {
      ++pass.tally.settling;  // stays new, untouched: a later run sends it
      pass.tally.leave(static_cast<int64_t>(entry.st.st_size), entry.st.st_mtime);
      continue;
    }
    Target target;
    Placing placing = place_file(pass.session, entry.name, file_date(pass, entry), target);
    if (placing == Placing::kNoDate) {
      ++pass.tally.waiting_date;  // stays new, untouched: a later run dates it
      pass.tally.leave(static_cast<int64_t>(entry.st.st_size), entry.st.st_mtime);
      continue;
    }
    // A pass that acts judges what it pins (pin_selected); one that only
    // counts, which pins nothing, what it lists.
    Refusal refusal = placing == Placing::kNameTooLong ? Refusal::kNameTooLong
                      : placing == Placing::kTooLong   ? Refusal::kCommandTooLong
                      : pass.acts() || util::readable_by_writers(pass.writers, entry.st)
                          ? sender.refusal_of(entry.path, target.place())
                          : Refusal::kUnreadable;
    if (refusal == Refusal::kNone && !fits_one_upload(pass.cfg.remote_url, entry.st.st_size)) {
      refusal = Refusal::kTooLarge;
    }
    if (refusal == Refusal::kNone) {
      files.add(entry, target.place());
      continue;
    }
    ++pass.tally.refused;
    ++pass.tally.refused_as[static_cast<int>(refusal)];
    pass.tally.leave(static_cast<int64_t>(entry.st.st_size), entry.st.st_mtime);
    if (pass.acts()) log_refusal(refusal, entry.path);
  }
  return true;
}

// A failed file stays new unless it went meanwhile.
bool still_there(const Pass& pass, const char* name) {
  struct stat st;
  return fstatat(pass.dir.fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Counts what became of each file of a sent (or, dry, selected) batch.
void tally_outcomes(Pass& pass, const Selection& files) {
  Tally& tally = pass.tally;
  for (size_t k = 0; k < files.size(); ++k) {
    if (files.outcome(k) == Outcome::kSettling) {  // as if never selected
      ++tally.settling;
      tally.leave(files.file_size(k), files.mtime(k));
      continue;
    }
    if (files.outcome(k) == Outcome::kUnreadable) {  // as if refused when listed
      ++tally.refused;
      ++tally.refused_as[static_cast<int>(Refusal::kUnreadable)];
      tally.leave(files.file_size(k), files.mtime(k));
      continue;
    }
    ++tally.selected;
    tally.bytes_selected += files.file_size(k);
    if (util::has_control(files.name(k))) ++tally.control;
    switch (files.outcome(k)) {
      case Outcome::kSent:
      case Outcome::kGone: continue;
      case Outcome::kFailed:
        ++tally.failed;
        if (!still_there(pass, files.name(k))) continue;
        break;
      case Outcome::kPending:
      case Outcome::kShort:
      case Outcome::kSentStillNew:
      case Outcome::kPassedBy:
      case Outcome::kSettling:
      case Outcome::kUnreadable: break;
    }
    tally.leave(files.file_size(k), files.mtime(k));
  }
}

// After the server could not be used: the files not attempted, and the
// rest of the scan's new files, stay for the next run.
void end_pass(Pass& pass, const Selection& files) {
  unsigned left = 0;
  for (size_t k = 0; k < files.size(); ++k) left += files.outcome(k) == Outcome::kPending;
  util::ScanEntry entry;
  while (util::next_regular_file(pass.dir, pass.cfg.scan_folder, entry)) {
    if (!is_new(pass, entry)) continue;
    ++left;
    pass.tally.leave(static_cast<int64_t>(entry.st.st_size), entry.st.st_mtime);
  }
  pass.tally.server_unusable = true;
  if (left > 0) {
    syslog(LOG_ERR, "Server cannot be used now, %u new files left for the next run", left);
  }
}

// Sends one selection; a pass that does not act only notes the first
// files to go. A mode that refuses only with files to send refuses here
// (logged), and the pass then counts what it leaves.
SendEnd send_selection(Pass& pass, Sender& sender, const util::Findings& verdict,
                       Selection& files) {
  if (pass.acts() && verdict.log_refusal()) {
    pass.tally.error = true;
    pass.refused = true;
  }
  if (pass.acts()) return sender.send(pass, files);
  for (size_t k = 0; k < files.size() && pass.first.size() < util::kFirstShown; ++k) {
    pass.first.emplace_back(files.mtime(k), files.name(k));
    pass.first_urls.emplace_back(files.place(k).url);
  }
  return SendEnd::kDone;
}

// The pass over the open folder: the new files in selections of the
// size the mode takes (in listing order), or all at once, in order.
void run_pass(Pass& pass, Sender& sender, const util::Findings& verdict) {
  if (pass.acts()) prune_resume_records(pass);
  Order order = send_order(pass.cfg);
  size_t batch = order == Order::kListing ? sender.batch_size() : SIZE_MAX;
  Selection files;
  for (bool more = true; more;) {
    files.clear();
    more = select_new_files(pass, sender, files, batch);
    if (files.size() == 0) continue;
    files.sort(order);
    SendEnd end = send_selection(pass, sender, verdict, files);
    tally_outcomes(pass, files);
    // A run asked to stop ends here, and blames no server for it.
    if (util::stop_signal() != 0) return;
    if (end == SendEnd::kStop) {
      end_pass(pass, files);
      break;
    }
  }
  if (pass.acts()) log_sizes_untold(pass);
}

const char* mode_name(Mode mode) {
  switch (mode) {
    case Mode::kSftp: return "sftp, one batch a run";
    case Mode::kCurlBatch: return "curl, a pass's files in one curl run (curl 7.75 or later)";
    case Mode::kCurl: break;
  }
  return "curl, one file at a time";
}

// What check says of MOD_VASTREL_VERIFY.
void verify_verdict(const settings::ModuleSettings& s, util::Findings& findings) {
  if (s.verify != 0) {
    findings.note(
        "  sent files are verified: the server's size of each must match before it is %s\n",
        s.ruploaded != 0 ? "deleted" : "back-dated");
    return;
  }
  findings.note("  sent files are not verified: the tool's exit status alone counts\n");
  if (s.ruploaded != 0) {
    findings.note(
        "  Sent files are deleted on the tool's word alone; MOD_VASTREL_VERIFY=1 asks the "
        "server for their size first\n");
  }
}

// The pass of a run: the verdict (a refusal for the whole pass is logged
// at once, and the pass then only counts), the mode's effects, the sends.
void send_new_files(Pass& pass) {
  std::unique_ptr<Sender> sender = make_sender(pass.session);
  util::Findings verdict(false);
  Readiness ready = upload_verdict(pass.session, *sender, verdict);
  sender->apply();
  if (verdict.refused() && !ready.refuses_with_files_only) {
    verdict.log_refusal();
    pass.refused = true;
    pass.tally.error = true;
  }
  run_pass(pass, *sender, verdict);
}

}  // namespace

Mode transfer_mode(const settings::ModuleSettings& s) {
  if (uses_sftp(s.remote_url)) return Mode::kSftp;
  return s.curl_batch != 0 ? Mode::kCurlBatch : Mode::kCurl;
}

std::unique_ptr<Sender> make_sender(const settings::Session& session) {
  switch (transfer_mode(session.cfg)) {
    case Mode::kSftp: return std::make_unique<SftpSender>(session);
    case Mode::kCurlBatch: return std::make_unique<CurlBatchSender>(session);
    case Mode::kCurl: break;
  }
  return std::make_unique<CurlFileSender>(session);
}

Readiness upload_verdict(const settings::Session& session, Sender& sender,
                         util::Findings& findings) {
  const settings::ModuleSettings& s = session.cfg;
  findings.note("\nTransfer: %s\n", mode_name(transfer_mode(s)));
  findings.note("  remote URL %s\n", util::masked_url(s.remote_url).c_str());
  fields_verdict(session, findings);
  findings.note("  each attempt: %u s to connect, at most %u s without a byte moving\n",
                s.connect_timeout, s.stall_timeout);
  if (s.partial_suffix[0] != '\0' && is_s3(s.remote_url)) {
    findings.note(
        "  MOD_VASTREL_PARTIAL_SUFFIX does not apply: an object appears whole or not at all\n");
  } else if (s.partial_suffix[0] != '\0') {
    findings.note("  each file is written as NAME%s and renamed to NAME once whole\n",
                  s.partial_suffix);
    if (s.verify != 0 && uses_sftp(s.remote_url)) {
      // An sftp batch cannot make a rename wait on a size it lists.
      findings.note(
          "  a file's size is asked of NAME after its rename: a short one is renamed "
          "all the same, and kept as new\n");
    } else if (s.verify != 0) {
      findings.note("  a file's size is asked of NAME%s, which is renamed only when whole\n",
                    s.partial_suffix);
    }
    if (!can_rename(s.remote_url)) {
      findings.refuse(
          "Remote URL %s cannot rename a file after its transfer (ftp://, ftps:// and sftp:// "
          "can), nothing is sent while MOD_VASTREL_PARTIAL_SUFFIX is set",
          util::Url{s.remote_url});
    }
  }
  verify_verdict(s, findings);
  resume_verdict(s, findings);
  return sender.prepare(findings);
}

Tally op_upload(settings::Session& session) {
  const settings::ModuleSettings& s = session.cfg;
  util::Findings start(false);
  util::RunLock lock;
  if (!util::ready_scratch_folder(start) || !lock.take(util::kLockFile, start)) {
    start.log_refusal();
    // Counted for the metrics only: this run scanned nothing.
    Tally tally = s.metrics_dir[0] != '\0' ? backlog(session) : Tally{};
    (lock.busy() ? tally.busy : tally.error) = true;
    return tally;
  }
  session.record_fd = lock.fd();
  // Opened once, first: a way others can change ends the run here, and a
  // folder that cannot be opened is told after the downloads, as always.
  util::Dir dir;
  util::Findings folder(false);
  bool refused_way =
      util::open_scan_folder(dir, s.scan_folder, folder) == util::ScanOpen::kWayRefused;
  if (!refused_way && s.download != 0) download::fetch_downloads(session);
  // Read after the downloads: what they fetched is new.
  time_t watermark = refused_way ? 0 : util::watermark_mtime();
  if (folder.log_refusal()) {
    Tally tally;
    tally.error = true;
    return tally;
  }
  rewinddir(dir.get());  // the downloads added files since it was opened
  settings::log_watermark_ahead(session, watermark);
  // Asked only by a run that settles or deletes what it sent.
  if (s.min_age != 0 || s.ruploaded != 0) settings::decide_writer_probe(session, dir.fd(), true);
  Pass pass{session, watermark, dir};
  send_new_files(pass);
  settings::log_undated(session, pass.tally.undated);
  if (pass.tally.waiting_date > 0) {
    syslog(LOG_NOTICE, settings::kClockBehindDates,
           util::utc_text(session.now, util::kUtcTime).text);
  }
  return pass.tally;
}

void plan_pass(Pass& pass) {
  std::unique_ptr<Sender> sender = make_sender(pass.session);
  util::Findings verdict(true);
  run_pass(pass, *sender, verdict);
}

Tally backlog(const settings::Session& session) {
  settings::Session dry(session.cfg, session);
  util::Dir dir;
  util::Findings unused(true);  // looks only: a dry pass logs nothing
  util::open_scan_folder(dir, session.cfg.scan_folder, unused);
  if (dir.get() == nullptr) return Tally{};
  if (session.cfg.min_age != 0) settings::decide_writer_probe(dry, dir.fd(), true);
  Pass pass{dry, util::watermark_mtime(), dir};
  plan_pass(pass);
  return pass.tally;
}

}  // namespace upload
