// The facts a run looks up once.
#include "settings/session.h"

#include <syslog.h>
#include <unistd.h>

#include "util/curl.h"
#include "util/pin.h"

namespace settings {

void look_up_facts(Session& session) {
  util::survive_lease_breaks();
  if (!session.dry) util::raise_descriptor_limit();
  session.descriptor_budget = util::descriptor_budget();
  session.curl_config = access(util::kCurlConfig, F_OK) == 0;
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
