// The facts a run looks up once.
#include "settings/session.h"

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

}  // namespace settings
