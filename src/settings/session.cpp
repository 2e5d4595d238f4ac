// The facts a run looks up once.
#include "settings/session.h"

#include <sys/utsname.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "util/cmdline.h"
#include "util/curl.h"
#include "util/filestat.h"
#include "util/pin.h"

namespace settings {

time_t clock_floor() { return static_cast<time_t>(VASTREL_CLOCK_FLOOR); }

bool undated(const Session& session, time_t mtime, time_t watermark) {
  return mtime > 0 && mtime < session.floor && mtime != watermark;
}

bool clock_behind(const Session& session) { return session.now < session.floor; }

bool watermark_ahead(const Session& session, time_t watermark) {
  return watermark > session.now && watermark - session.now > kClockSlack;
}

void log_watermark_ahead(const Session& session, time_t watermark) {
  if (session.dry || !watermark_ahead(session, watermark)) return;
  syslog(LOG_NOTICE, kWatermarkAhead, util::utc_text(watermark, util::kUtcTime).text,
         util::utc_text(session.now, util::kUtcTime).text);
}

void log_undated(const Session& session, unsigned undated) {
  if (session.dry || undated == 0) return;
  syslog(LOG_NOTICE, "%u files dated before %s are taken as unsent", undated,
         util::utc_text(session.floor, util::kUtcDate).text);
}

void look_up_facts(Session& session) {
  util::survive_lease_breaks();
  if (!session.dry) util::raise_descriptor_limit();
  session.descriptor_budget = util::descriptor_budget();
  session.curl_config = access(util::kCurlConfig, F_OK) == 0;
  session.now = time(nullptr);
  struct utsname names;
  if (uname(&names) == 0 &&
      snprintf(session.host_name, sizeof session.host_name, "%s", names.nodename) >=
          static_cast<int>(sizeof session.host_name)) {
    session.host_name[0] = '\0';  // never a cut name: it would name another folder
  }
}

const char* device_name(const Session& session) {
  const char* key = session.cfg.device;
  return key != nullptr && key[0] != '\0' ? key : session.host_name;
}

bool usable_device(const char* device) {
  size_t length = strlen(device);
  if (length == 0 || length > 64 || strcmp(device, ".") == 0 || strcmp(device, "..") == 0) {
    return false;
  }
  return strchr(device, '/') == nullptr && !util::has_control(device);
}

void decide_writer_probe(Session& session, int dir_fd, bool leases) {
  using Leases = util::WriterProbe::Leases;
  util::WriterProbe& probe = session.writer_probe;
  if (leases && probe.leases == Leases::kUndecided) {
    probe.leases = util::leases_granted(dir_fd, probe.lease_error) ? Leases::kGranted
                                                                    : Leases::kRefused;
    if (probe.leases == Leases::kRefused && !session.dry) syslog(LOG_NOTICE, "%s", kLeasesRefused);
  }
  if (!probe.looked && (!leases || probe.leases == Leases::kRefused)) {
    util::look_for_writers(probe);
  }
}

}  // namespace settings
