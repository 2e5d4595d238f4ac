// MOD_VASTREL_RESUME: a cut transfer goes on from the bytes the server
// holds under the file's temporary name, but only where a record written
// before the transfer proves those bytes are this very file's beginning.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "settings/session.h"
#include "upload/pass.h"
#include "upload/target.h"
#include "util/cmdline.h"
#include "util/findings.h"

namespace upload {

// One record a temporary name being written (so one a file being sent):
// whose bytes it holds. Named by a hash of that name, replaced by rename.
constexpr const char* kResumeFolder = "/var/vastrel/resume";

// True when the run resumes: MOD_VASTREL_RESUME with a partial suffix, to
// a target that can rename (ftp://, ftps://, sftp://), curl one file at a
// time or sftp (the curl batch sends every file from its first byte).
// Changes nothing.
bool resumes(const settings::ModuleSettings& cfg);

// The temporary name the record holds for a file bound for `place`: its
// URL with the suffix (for sftp the URL as a folder, then the folder its
// fields make and NAME+SUFFIX). False when it would not fit. Logs nothing.
bool resume_target(char (&out)[util::kCommandSize], const settings::ModuleSettings& cfg,
                   const Place& place);

// Writes the record of the temporary name `target`: the open file `fd`
// (device, inode, size, modification time in ns) and its name in the scan
// folder, replacing by rename the record of whatever went there before. False (logged at
// LOG_ERR "Cannot write resume record for file PATH(...)") when it cannot;
// false and silent for a name with a control character, never resumed.
bool write_resume_record(int fd, const char* path, const char* target);

// True when the record of the temporary name `target` holds exactly the
// identity of the open file `fd` now. Changes nothing, logs nothing.
bool resume_record_matches(int fd, const char* target);

// True when the record of `target` holds the listed identity: the file is
// worth asking the server about. Changes nothing, logs nothing.
bool resume_record_listed(const FileIdentity& listed, const char* target);

// Removes the record of the temporary name `target`, if any. Logs nothing.
void drop_resume_record(const char* target);

// The offset a transfer starts from: `held` (the bytes the server told
// under the temporary name) when 0 < held < the file's size `size`, else 0.
int64_t resume_offset(int64_t held, int64_t size);

// After the disposal of a file sent to the temporary name `target`:
// unless the server held it short (kShort, whose partial may go on),
// removes its record; counts a sent file's `offset` in the tally's
// bytes_resumed. Logs nothing.
void resume_done(Pass& pass, const char* target, Outcome outcome, int64_t offset);

// Logs "File PATH resumed at N of M bytes" (LOG_NOTICE). Changes nothing.
void log_resumed(const char* path, int64_t offset, int64_t size);

// At the start of a pass that acts: removes the records whose file is no
// longer in the scan folder `pass.dir` as it was recorded (gone, changed,
// or sent and stamped), so records stay one per file being sent; every
// record when the run does not resume, since its transfers write the
// temporary names without them. Logs nothing.
void prune_resume_records(const Pass& pass);

// What check says of MOD_VASTREL_RESUME: whether it is on, a problem
// without a suffix, a note where it does not apply (HTTP(S), the curl
// batch). Changes nothing.
void resume_verdict(const settings::ModuleSettings& cfg, util::Findings& findings);

// For check, when the run resumes: each record whose file is still in the
// open scan folder `dir_fd` as recorded, which a next run would resume if
// the server holds part of it. Changes nothing.
void resume_records_verdict(const settings::ModuleSettings& cfg, int dir_fd,
                            util::Findings& findings);

}  // namespace upload
