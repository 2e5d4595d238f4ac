// The "upload" operation: the new files of the scan folder selected, sent
// in the mode the settings choose, and disposed of. The pass is here; the
// three modes (curl per file, a curl batch, an sftp batch) sit below it
// behind one interface.
#pragma once

#include <ctime>
#include <memory>

#include "settings/settings.h"
#include "upload/mode.h"
#include "upload/pass.h"
#include "util/findings.h"
#include "util/scandir.h"

namespace upload {

enum class Mode { kCurl, kCurlBatch, kSftp };

// The mode: decided once, from the settings.
Mode transfer_mode(const settings::ModuleSettings& s);

std::unique_ptr<Sender> make_sender(Mode mode, const settings::ModuleSettings& s);

// What stands in the way of sending: the partial suffix on a URL that
// cannot rename, then the mode's own; for check, also what the transfer
// will be.
void upload_verdict(const settings::ModuleSettings& s, Sender& sender, util::Findings& findings);

// A whole upload run: scratch folder, lock, downloads, then the pass.
// Returns what it did.
Tally op_upload(const settings::ModuleSettings& s);

// What the next pass would do over the open folder of `pass` (made dry):
// sends, logs and changes nothing; the tally counts what it would send
// and skip, and `pass.first` the first files to go.
void plan_pass(Pass& pass);

// The new files a run leaves when it could not send (another run held the
// lock, the FTP wait gave up): the tally of a dry pass.
Tally backlog(const settings::ModuleSettings& s);

}  // namespace upload
