// The report of "vastrel check": each capability's verdict, and the plan.
#include "app/check.h"

#include <sys/stat.h>
#include <sys/timex.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/metrics.h"
#include "download/download.h"
#include "retention/retention.h"
#include "settings/lint.h"
#include "settings/session.h"
#include "upload/resume.h"
#include "upload/target.h"
#include "upload/upload.h"
#include "util/command.h"
#include "util/curl.h"
#include "util/filestat.h"
#include "util/findings.h"
#include "util/pin.h"
#include "util/scandir.h"
#include "util/scratch.h"

namespace app {

namespace {

using util::Findings;

constexpr const char* kOrders[] = {"as the folder lists them", "oldest first", "newest first"};

// Prints what a verdict found; returns how many of its findings stand in
// the way of a run.
unsigned print(FILE* out, const Findings& findings) {
  for (const Findings::Finding& finding : findings.items()) {
    switch (finding.kind) {
      case Findings::Kind::kNote: fputs(finding.shown.c_str(), out); break;
      case Findings::Kind::kWarning: fprintf(out, "  warning: %s\n", finding.shown.c_str()); break;
      case Findings::Kind::kProblem:
      case Findings::Kind::kRefusal: fprintf(out, "  problem: %s\n", finding.shown.c_str()); break;
    }
  }
  return findings.blocking();
}

time_t watermark_verdict(Findings& findings) {
  struct stat st;
  util::TrustedPath way;
  if (util::watermark_status(st, way)) {
    findings.note("\nWatermark %s: %s; files modified later are new\n", util::kWatermark,
                  util::utc_text(st.st_mtime).text);
    return st.st_mtime;
  }
  findings.note(
      "\nWatermark %s: %s: every file counts as new, and sent files are back-dated to 1970\n",
      util::kWatermark, errno == ENOENT ? "missing" : strerror(errno));
  if (way.refused) {
    findings.problem(util::kWatermarkWayRefusal, util::kWatermarkFolder, way.through, way.uid);
  }
  return 0;
}

// The run's clock against the floor, and whether the kernel holds it
// synchronised (a device without a battery-backed clock starts in 1970).
void clock_verdict(Findings& findings, const settings::Session& session) {
  struct timex state {};
  state.modes = 0;  // reads only
  int status = adjtimex(&state);
  const char* synced = status == -1           ? "whether it is synchronised cannot be asked"
                       : status == TIME_ERROR ? "not synchronised, the kernel says"
                                              : "synchronised, the kernel says";
  findings.note("\nClock: %s, %s\n", util::utc_text(session.now).text, synced);
  findings.note(
      "  this program was built %s: no true time lies before it, and a file dated earlier is "
      "taken as unsent\n",
      util::utc_text(session.floor).text);
}

// What a dry upload pass would skip, and why.
void skipped(Findings& findings, const settings::Session& session, const upload::Tally& t,
             time_t watermark) {
  using upload::Refusal;
  const settings::ModuleSettings& s = session.cfg;
  auto as = [&t](Refusal r) { return t.refused_as[static_cast<int>(r)]; };
  if (t.skips.too_long > 0)
    findings.note("  skipped: %u entries whose path is longer than %zu characters\n",
                  t.skips.too_long, util::kPathSize - 1);
  if (t.skips.unreadable > 0)
    findings.note("  skipped: %u entries whose status cannot be read\n", t.skips.unreadable);
  if (unsigned n = as(Refusal::kCommandTooLong) + as(Refusal::kQueueLineTooLong))
    findings.note("  skipped by upload: %u new files whose %s would be too long\n", n,
                  as(Refusal::kQueueLineTooLong) > 0 ? "queue line" : "command line");
  if (as(Refusal::kNameTooLong) > 0)
    findings.note(
        "  skipped by upload: %u new files whose remote name would be longer than %zu "
        "characters\n",
        as(Refusal::kNameTooLong), util::kPathSize - 1);
  if (as(Refusal::kControl) > 0)
    findings.note("  skipped by upload: %u new files whose name holds a control character\n",
                  as(Refusal::kControl));
  if (as(Refusal::kTooLarge) > 0)
    findings.note(
        "  skipped by upload: %u new files larger than one upload to object storage holds (5 "
        "GiB)\n",
        as(Refusal::kTooLarge));
  if (as(Refusal::kUnreadable) > 0)
    findings.note(
        "  skipped by upload: %u new files that the scan folder's writers could not read "
        "themselves\n",
        as(Refusal::kUnreadable));
  if (t.control > 0)
    findings.note(
        "  of those, %u names hold a control character, which curl refuses: they fail on every "
        "run\n",
        t.control);
  if (s.partial_suffix[0] == '\0' || t.refused == 0) return;
  // The same pass without the suffix refuses a subset: the rest is its doing.
  util::Dir dir(s.scan_folder);
  settings::ModuleSettings plain = s;
  plain.partial_suffix = "";
  settings::Session plain_session(plain, session);
  upload::Pass without{plain_session, watermark, dir};
  upload::plan_pass(without);
  if (unsigned n = t.refused - without.tally.refused)
    findings.note("  of the files skipped by upload, %u are skipped only because of the suffix\n",
                  n);
}

// How the runs tell a file open for writing here, as decided for this
// session (settings::decide_writer_probe).
void writers_verdict(Findings& findings, const util::WriterProbe& probe) {
  const char* look = "look once a run at what the processes in /proc hold open for writing";
  if (probe.leases == util::WriterProbe::Leases::kGranted) {
    findings.note("  open for writing: upload asks for a lease on each file, remove would %s\n",
                  look);
  } else {
    findings.note(
        "  open for writing: the scan folder's file system refuses leases (%s), upload and "
        "remove would %s\n",
        strerror(probe.lease_error), look);
  }
  if (probe.blind) {
    findings.warn(
        "/proc cannot be listed: a file open for writing cannot be told from a finished one, and "
        "is sent, deleted and removed as any other");
  } else if (probe.unseen > 0) {
    findings.note("  of those processes, %u cannot be looked at: what they write is not told\n",
                  probe.unseen);
  }
}

// The plan: what the next remove and upload would do with the folder.
void plan_verdict(Findings& findings, settings::Session& session) {
  const settings::ModuleSettings& s = session.cfg;
  clock_verdict(findings, session);
  time_t watermark = watermark_verdict(findings);
  if (settings::watermark_ahead(session, watermark)) {
    findings.warn(settings::kWatermarkAhead, util::utc_text(watermark, util::kUtcTime).text,
                  util::utc_text(session.now, util::kUtcTime).text);
  }
  util::Dir dir;
  util::open_scan_folder(dir, s.scan_folder, findings);
  if (findings.refused()) return;
  // Both ways, as an upload and a remove run would ask.
  settings::decide_writer_probe(session, dir.fd(), true);
  settings::decide_writer_probe(session, dir.fd(), false);
  retention::Pass remove{session, dir, session.now, watermark};
  retention::remove_files(remove);
  rewinddir(dir.get());
  upload::Pass upload{session, watermark, dir};
  upload::plan_pass(upload);
  const upload::Tally& t = upload.tally;
  findings.note("  %u regular files\n", remove.tally.regular);
  findings.note("  next upload would send %u files, %lld bytes in all\n", t.selected,
                static_cast<long long>(t.bytes_selected));
  if (t.undated > 0) {
    findings.note("  of the new files, %u are dated before %s and taken as unsent\n", t.undated,
                  util::utc_text(session.floor, util::kUtcDate).text);
  }
  if (t.waiting_date > 0) {
    findings.note(
        "  waiting for a date: %u new files whose remote path needs one, while the clock reads "
        "before %s\n",
        t.waiting_date, util::utc_text(session.floor, util::kUtcDate).text);
  }
  if (t.settling > 0) {
    findings.note(
        "  still settling: %u new files modified less than %u s ago or open for writing\n",
        t.settling, s.min_age);
  }
  skipped(findings, session, t, watermark);
  writers_verdict(findings, session.writer_probe);
  if (s.download != 0) {
    findings.note(
        "  the download pass is on: files it fetches come on top (check never contacts a "
        "server)\n");
  }
  if (!upload.first.empty()) {
    findings.note("  first to go (%s):\n", kOrders[static_cast<int>(upload::send_order(s))]);
  }
  for (const auto& [mtime, name] : upload.first) {
    char key[util::kPathSize];
    if (upload::is_s3(s.remote_url) && upload::s3_remote_path(key, s.remote_url, name.c_str())) {
      findings.note("    %s  %s  key %s\n", util::utc_text(mtime).text, name.c_str(), key);
      continue;
    }
    findings.note("    %s  %s\n", util::utc_text(mtime).text, name.c_str());
  }
  if (!upload.first_urls.empty()) findings.note("  where they go, in that order:\n");
  for (const std::string& url : upload.first_urls) {
    findings.note("    %s\n", util::masked_url(url.c_str()));
  }
  upload::resume_records_verdict(s, dir.fd(), findings);
  retention::describe_plan(remove, findings);
}

// The transfer: the upload mode, the download pass, the tools, the frame.
void transfer_verdict(Findings& findings, const settings::Session& session) {
  const settings::ModuleSettings& s = session.cfg;
  std::unique_ptr<upload::Sender> sender = upload::make_sender(session);
  upload::upload_verdict(session, *sender, findings);
  std::vector<util::Tool> tools = sender->tools();
  if (s.download != 0) {
    download::download_verdict(session, findings);
    for (const util::Tool& tool : download::download_tools(s.download_url)) tools.push_back(tool);
  }
  if (s.check_ftp != 0) tools.push_back({kKillall, "the FTP wait"});
  std::vector<std::string> listed;  // each tool once, under its first role
  for (const util::Tool& tool : tools) {
    if (std::find(listed.begin(), listed.end(), tool.path) != listed.end()) continue;
    listed.emplace_back(tool.path);
    util::tool_verdict(tool, findings);
  }
  if (s.rate_limit != 0) findings.note("  every transfer at most %u KiB/s\n", s.rate_limit);
  if (s.start_spread != 0) {
    findings.note("  an upload run first waits %u s on this device (start spread of %u s)\n",
                  start_delay(s.start_spread, kMachineId), s.start_spread);
  }
  if (upload::transfer_mode(s) != upload::Mode::kSftp || s.download != 0) {
    util::curl_config_verdict(findings);
  }
  int version = upload::is_s3(s.remote_url) ? util::curl_version() : -1;
  if (version >= 0 && version < util::kCurlSigningVersion) {
    findings.problem("curl %d.%d.%d cannot sign requests to object storage (7.75 or later can)",
                     version / 10000, version / 100 % 100, version % 100);
  }
}

}  // namespace

int run_check(FILE* out) {
  settings::ModuleSettings s;
  fputs(
      "vastrel check: what the settings say and what the next runs would do (nothing is "
      "done)\n\n",
      out);
  unsigned problems = 0;
  auto section = [&](auto&& verdict) {
    Findings findings(true);
    verdict(findings);
    problems += print(out, findings);
  };
  section([&](Findings& f) { settings::settings_verdict(s, f); });
  settings::Session session(s, true);
  settings::look_up_facts(session);
  section([&](Findings& f) { plan_verdict(f, session); });
  section([&](Findings& f) { transfer_verdict(f, session); });
  section([&](Findings& f) {
    util::scratch_folder_verdict(f);
    util::lock_verdict(util::kLockFile, f);
  });
  section([&](Findings& f) { metrics_verdict(s, f); });
  if (problems == 0) {
    fputs("\nNothing stands in the way of a run.\n", out);
    return 0;
  }
  fprintf(out, "\n%u problems stand in the way of a run (see the lines marked problem).\n",
          problems);
  return 1;
}

void print_usage(FILE* out) {
  fprintf(out,
          "usage: vastrel check\n"
          "  prints what the settings say and what the next upload and remove runs would do,\n"
          "  and does nothing (exit status 1 when something stands in the way of a run)\n"
          "The work is done under two other names, links to this program beside it:\n"
          "  upload   sends the scan folder's files newer than the watermark\n"
          "  remove   deletes the scan folder's files older than the retention age\n"
          "Settings: %s. What a run does is told to the system log.\n",
          settings::kSettingsPath);
}

}  // namespace app
