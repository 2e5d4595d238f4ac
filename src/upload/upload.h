// The "upload" operation: the new files of the scan folder selected, sent
// in the mode the settings choose, and disposed of. The pass is here; the
// three modes (curl per file, a curl batch, an sftp batch) sit below it
// behind one interface.
#pragma once

#include <ctime>
#include <memory>

#include "settings/session.h"
#include "upload/mode.h"
#include "upload/pass.h"
#include "util/findings.h"
#include "util/scandir.h"

namespace upload {

enum class Mode { kCurl, kCurlBatch, kSftp };

// The mode the settings choose: sftp for a URL holding "sftp", else the
// curl batch with MOD_VASTREL_CURL_BATCH, else curl per file. Changes
// nothing.
Mode transfer_mode(const settings::ModuleSettings& s);

// The sender of the session's mode, reading the session's settings and
// facts for as long as it lives (the session must outlive it). Changes
// nothing, logs nothing.
std::unique_ptr<Sender> make_sender(const settings::Session& session);

// Decides what stands in the way of sending: the partial suffix on a URL
// that cannot rename, then the mode's own (`sender.prepare`); for check,
// also what the transfer will be. Returns what the mode's prepare found;
// changes nothing but `sender`, logs nothing.
Readiness upload_verdict(const settings::Session& session, Sender& sender,
                         util::Findings& findings);

// A whole upload run over a run's session: scratch folder (made when
// missing), lock (whose file becomes the session's record, held until the
// return), downloads, then the pass, which sends, deletes or stamps the
// new files (and undated ones: settings::undated). With MOD_VASTREL_MIN_AGE
// or MOD_VASTREL_RUPLOADED it first decides how to tell a file open for
// writing (settings::decide_writer_probe, which may log its notice). Logs
// every refusal and failure (LOG_ERR), each file sent, and at LOG_NOTICE a
// watermark ahead of the clock and the undated files found
// (settings::log_watermark_ahead, settings::log_undated).
// Returns what it did: `busy` when another run held the lock (logged at
// LOG_NOTICE), `error` when the scratch folder, the lock file or the scan
// folder could not be used, or the mode refused the pass. When the scratch
// folder or the lock stops it, the tally is the backlog, counted only when
// metrics are on.
Tally op_upload(settings::Session& session);

// What the next pass over the open folder of `pass`, whose session is dry,
// would do, read from where the folder's listing stands: sends, logs and
// changes nothing; the tally counts what it would send and skip, and
// `pass.first` the first files to go.
void plan_pass(Pass& pass);

// The new files a run leaves when it could not send (another run held the
// lock, the scratch folder was refused, the FTP wait gave up): the tally
// of a dry pass over the session's settings, or an empty tally when the
// scan folder cannot be opened. Changes nothing, logs nothing.
Tally backlog(const settings::Session& session);

}  // namespace upload
