// Writing each run's figures, replaced whole, never half-written.
#include "app/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "util/descriptor.h"
#include "util/pin.h"
#include "util/trusted.h"

namespace app {

namespace {

constexpr size_t kPathMax = 4096;
constexpr const char* kMetricsWayRefusal =
    "Metrics folder %s is reached through %s, which user %u can change, nothing is written";

void metric(std::string& text, const char* name, const char* help, long long value) {
  char line[512];
  snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s gauge\n%s %lld\n", name, help, name, name,
           value);
  text += line;
}

void ratio_metric(std::string& text, const char* name, const char* help, double value) {
  char line[512];
  snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s gauge\n%s %.6f\n", name, help, name, name,
           value);
  text += line;
}

// One gauge per outcome, 1 for the run's and 0 for the others.
void outcomes(std::string& text, const char* name, const char* help, const char* const* all,
              size_t count, const char* outcome) {
  char line[512];
  snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
  text += line;
  for (size_t k = 0; k < count; ++k) {
    snprintf(line, sizeof line, "%s{outcome=\"%s\"} %d\n", name, all[k],
             strcmp(all[k], outcome) == 0);
    text += line;
  }
}

bool path_in(char (&out)[kPathMax], const char* folder, const char* name) {
  int length = snprintf(out, sizeof out, "%s/%s", folder, name);
  return length > 0 && static_cast<size_t>(length) < sizeof out;
}

// The file's path and its temporary one in the folder, or the refusal of
// a folder whose name leaves them no room.
bool paths(const char* folder, const char* name, char (&path)[kPathMax],
           char (&temporary)[kPathMax], util::Findings& findings) {
  if (path_in(path, folder, name) && path_in(temporary, folder, ".vastrel-metrics.XXXXXX")) {
    return true;
  }
  findings.refuse("Metrics folder %s is too long, no metrics written", folder);
  return false;
}

// Opens the metrics folder into `way` along a way only root can change;
// false with the refusal added to `findings` when its name is too long or
// others could change the way, false with way.error when it cannot be
// opened otherwise.
bool metrics_folder(const char* folder, util::TrustedPath& way, util::Findings& findings) {
  char path[kPathMax];
  char temporary[kPathMax];
  if (!paths(folder, kUploadMetrics, path, temporary, findings)) return false;
  if (util::open_trusted(folder, O_RDONLY | O_DIRECTORY, way)) return true;
  if (way.refused) findings.refuse(kMetricsWayRefusal, folder, way.through, way.uid);
  return false;
}

// The value of one metric in the file the previous run left in the folder
// `dir_fd`; 0 when the file or the line is missing.
long long previous_value(int dir_fd, const char* file_name, const char* name) {
  util::Descriptor fd(openat(dir_fd, file_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  FILE* file = fd.get() >= 0 ? fdopen(fd.get(), "r") : nullptr;
  if (file == nullptr) return 0;
  fd.release();  // fclose closes it now
  char line[512];
  long long value = 0;
  size_t length = strlen(name);
  while (fgets(line, sizeof line, file) != nullptr) {
    if (strncmp(line, name, length) == 0 && line[length] == ' ') {
      value = strtoll(line + length + 1, nullptr, 10);
      break;
    }
  }
  fclose(file);
  return value;
}

// A temporary file in the same folder, then rename, all through the
// folder's descriptor: a reader never sees a half-written file. The
// temporary name does not end in ".prom", which the collector reads.
void write_atomically(const util::TrustedPath& way, const char* folder, const char* name,
                      const std::string& text) {
  char path[kPathMax];
  path_in(path, folder, name);  // fits: the folder's verdict said so
  if (way.fd.get() < 0) {
    errno = way.error;
    syslog(LOG_ERR, "Cannot write metrics file %s(%m)", path);
    return;
  }
  char temporary[32];
  util::Descriptor file = util::temporary_in(way.fd.get(), ".vastrel-metrics.", temporary);
  int fd = file.get();
  bool written = fd >= 0 && fchmod(fd, 0644) == 0 &&
                 write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  int saved = errno;
  if (!file.close() && written) {
    written = false;
    saved = errno;
  }
  if (written && renameat(way.fd.get(), temporary, way.fd.get(), name) == 0) return;
  if (written) saved = errno;
  if (fd >= 0) unlinkat(way.fd.get(), temporary, 0);
  errno = saved;
  syslog(LOG_ERR, "Cannot write metrics file %s(%m)", path);
}

const char* upload_outcome(const upload::Tally& t, bool ftp_timeout) {
  if (ftp_timeout) return "ftp_wait_timeout";
  if (t.busy) return "busy";
  if (t.error) return "error";
  if (t.server_unusable) return "server_unusable";
  return t.failed > 0 || t.short_files > 0 ? "some_failed" : "all_sent";
}

}  // namespace

void metrics_verdict(const settings::ModuleSettings& s, util::Findings& findings) {
  const char* folder = s.metrics_dir;
  if (folder[0] == '\0') return;
  util::TrustedPath way;
  if (!metrics_folder(folder, way, findings)) {
    if (findings.refused()) return;
    errno = way.error;
  }
  if (way.fd.get() >= 0 && faccessat(way.fd.get(), ".", W_OK | X_OK, 0) == 0) {
    findings.note("\nMetrics folder %s: each run replaces %s or %s there\n", folder, kUploadMetrics,
                  kRemoveMetrics);
  } else {
    findings.note("\nMetrics folder %s: cannot be written by this user (%s): runs log it\n", folder,
                  strerror(errno));
  }
}

void write_upload_metrics(const settings::ModuleSettings& s, const upload::Tally& t,
                          bool ftp_timeout) {
  constexpr const char* kOutcomes[] = {"all_sent", "some_failed",      "server_unusable",
                                       "busy",     "ftp_wait_timeout", "error"};
  const char* folder = s.metrics_dir;
  if (folder[0] == '\0') return;
  util::TrustedPath way;
  util::Findings findings(false);
  if (!metrics_folder(folder, way, findings) && findings.log_refusal()) return;
  const char* outcome = upload_outcome(t, ftp_timeout);
  time_t now = time(nullptr);
  long long last_success = 0;
  if (way.fd.get() >= 0) {
    last_success = previous_value(way.fd.get(), kUploadMetrics,
                                  "vastrel_upload_last_success_timestamp_seconds");
  }
  if (strcmp(outcome, "all_sent") == 0) last_success = now;
  std::string text;
  metric(text, "vastrel_upload_end_timestamp_seconds", "When the last upload run ended.", now);
  outcomes(text, "vastrel_upload_outcome",
           "How the last upload run ended: 1 for its outcome, 0 for the others.", kOutcomes,
           sizeof kOutcomes / sizeof *kOutcomes, outcome);
  metric(text, "vastrel_upload_files_sent", "Files the last upload run sent.", t.sent);
  metric(text, "vastrel_upload_bytes_sent", "Bytes the last upload run sent.", t.bytes_sent);
  if (s.resume != 0) {
    metric(text, "vastrel_upload_bytes_resumed",
           "Bytes the last upload run did not send again: it resumed cut transfers "
           "(MOD_VASTREL_RESUME).",
           t.bytes_resumed);
  }
  metric(text, "vastrel_upload_files_failed", "Files whose last attempt of the run failed.",
         t.failed);
  metric(
      text, "vastrel_upload_files_short",
      "Files the server held with another size or without one (MOD_VASTREL_VERIFY), kept as new.",
      t.short_files);
  metric(text, "vastrel_upload_files_refused",
         "New files the last upload run could not send under their own names.", t.refused);
  metric(text, "vastrel_upload_files_settling",
         "New files not sent yet because they were still being written (MOD_VASTREL_MIN_AGE).",
         t.settling);
  metric(text, "vastrel_upload_files_undated",
         "New files dated before this program was built (the clock was unset): taken as unsent.",
         t.undated);
  metric(text, "vastrel_upload_files_left", "New files left after the last upload run.", t.left);
  metric(text, "vastrel_upload_bytes_left", "Bytes of the new files left.", t.bytes_left);
  metric(text, "vastrel_upload_oldest_left_timestamp_seconds",
         "Modification time of the oldest new file left, 0 when none is.", t.oldest_left);
  metric(text, "vastrel_upload_last_success_timestamp_seconds",
         "When an upload run last sent every file it attempted, 0 when none has yet.",
         last_success);
  write_atomically(way, folder, kUploadMetrics, text);
}

void write_remove_metrics(const settings::ModuleSettings& s, const retention::Tally& r,
                          bool ftp_timeout) {
  constexpr const char* kOutcomes[] = {"done", "error", "ftp_wait_timeout"};
  const char* folder = s.metrics_dir;
  if (folder[0] == '\0') return;
  util::TrustedPath way;
  util::Findings findings(false);
  if (!metrics_folder(folder, way, findings) && findings.log_refusal()) return;
  const char* outcome = ftp_timeout ? "ftp_wait_timeout" : r.error ? "error" : "done";
  std::string text;
  metric(text, "vastrel_remove_end_timestamp_seconds", "When the last remove run ended.",
         time(nullptr));
  outcomes(text, "vastrel_remove_outcome",
           "How the last remove run ended: 1 for its outcome, 0 for the others.", kOutcomes,
           sizeof kOutcomes / sizeof *kOutcomes, outcome);
  metric(text, "vastrel_remove_files_deleted", "Files the last remove run deleted.", r.deleted);
  metric(text, "vastrel_remove_unsent_files_deleted",
         "Of those, files newer than the watermark or undated: deleted without ever being sent.",
         r.unsent);
  metric(text, "vastrel_remove_files_deleted_for_space",
         "Of those, files deleted to keep MOD_VASTREL_KEEP_FREE available.", r.deleted_for_space);
  metric(text, "vastrel_remove_unsent_files_kept",
         "Unsent files kept although the file system stayed below the floor: deleting this "
         "folder's files could not reach it.",
         r.unsent_kept);
  metric(text, "vastrel_remove_clock_behind",
         "1 when the clock read before this program was built: nothing was removed by age.",
         r.clock_behind);
  ratio_metric(text, "vastrel_remove_free_ratio",
               "Share of the scan folder's file system available after the run (blocks).",
               r.free_ratio);
  ratio_metric(text, "vastrel_remove_free_inodes_ratio",
               "Share of its inodes available after the run (1 where it reports none).",
               r.free_inodes_ratio);
  ratio_metric(text, "vastrel_remove_free_floor_ratio",
               "The share MOD_VASTREL_KEEP_FREE keeps available (0: no floor).",
               s.keep_free <= 99 ? s.keep_free / 100.0 : 0.0);
  write_atomically(way, folder, kRemoveMetrics, text);
}

}  // namespace app
