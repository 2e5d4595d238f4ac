// One upload pass: its record, what became of each file, and the tally.
// Below the transfer modes: each of them disposes of what it sent here.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "settings/session.h"
#include "util/filestat.h"
#include "util/pin.h"
#include "util/scandir.h"

namespace upload {

// What a selected file was when it was listed: the file itself (inode and
// device, folded into 64 bits so that a backlog of 100,000 files stays
// small), its size and its modification time to the nanosecond. A name
// that no longer leads to that file is not sent; a file that changed
// during its transfer is not disposed of: deleting it would lose what was
// written meanwhile.
struct FileIdentity {
  uint64_t object;
  int64_t size;
  int64_t mtime_sec;
  int32_t mtime_nsec;
};

// The identity of the file `st` describes. Changes nothing.
FileIdentity identity_of(const struct stat& st);
// True when `st` is a regular file and the same file, whatever happened to
// its bytes.
bool same_object(const FileIdentity& listed, const struct stat& st);
// True when `st` is a regular file and the same file with the same size and
// modification time.
bool unchanged(const FileIdentity& listed, const struct stat& st);

// What became of one selected file.
enum class Outcome : uint8_t {
  kPending,       // not attempted (yet)
  kSent,          // sent, then deleted or stamped
  kSentStillNew,  // sent, but its stamp failed or it changed after it
  kFailed,        // its last attempt failed
  kPassedBy,      // changed during its transfer, or left out of a batch
  kGone,          // not there any more
  kSettling,      // still open for writing (MOD_VASTREL_MIN_AGE): stays new
  kUnreadable,    // the scan folder's writers could not read it: refused, stays new
  kShort,         // sent, but the server told another size or none: stays new
};

// What an upload run did, for the metrics file; a dry pass counts what it
// would do.
struct Tally {
  unsigned sent = 0;
  int64_t bytes_sent = 0;
  int64_t bytes_resumed = 0;  // not sent again: resumed transfers' offsets (MOD_VASTREL_RESUME)
  unsigned failed = 0;  // files whose last attempt failed
  // Sent, but the server told another size or none (MOD_VASTREL_VERIFY).
  unsigned short_files = 0;
  // Sent, and the server told a size (whichever).
  unsigned sized = 0;
  unsigned refused = 0;   // new files that cannot be sent under their names
  unsigned settling = 0;  // new files not yet settled (MOD_VASTREL_MIN_AGE)
  // New files whose remote path needs a date that the clock cannot give.
  unsigned waiting_date = 0;
  unsigned selected = 0;  // handed to the transfer (a dry pass: would be)
  int64_t bytes_selected = 0;
  unsigned left = 0;  // new files left after the run
  int64_t bytes_left = 0;
  time_t oldest_left = 0;       // 0 when none is left
  unsigned refused_as[7] = {};  // by Refusal (mode.h), for check
  unsigned control = 0;         // of the selected, names with a control character
  unsigned undated = 0;         // new files dated before the clock floor (settings::undated)
  util::SkipCounts skips;       // a dry pass counts what a run logs
  bool server_unusable = false;
  bool busy = false;   // another run held the lock
  bool error = false;  // the pass could not run (logged)

  // A new file that stays new: counted as left, with its bytes, and its
  // time kept when it is the oldest left.
  void leave(int64_t size, time_t mtime);
};

// The record of one pass, passed down to every mode and disposal.
struct Pass {
  // Borrows the session and the open folder, which must outlive the pass;
  // the pass starts at the session's clock.
  Pass(const settings::Session& run, time_t mark, const util::Dir& folder)
      : session(run),
        cfg(run.cfg),
        watermark(mark),
        now(run.now),
        dir(folder),
        writers(util::folder_writers(folder.fd())) {}
  const settings::Session& session;
  const settings::ModuleSettings& cfg;  // the session's
  time_t watermark;
  time_t now;            // when the pass started: the age of a new file counts from here
  const util::Dir& dir;  // the open scan folder
  util::FolderWriters writers;  // who may write it: what they cannot read is not sent
  // The mode refused the pass (logged): it counts what stays, sends nothing.
  bool refused = false;
  // curl, where the URL's folders hold a field: the URL folder of the last
  // file whose folder the server refused, while no file was sent since.
  std::string refused_folder;
  Tally tally;
  // A pass that does not act: the first files it would send, in order
  // (time, name), and the URL each goes to.
  std::vector<std::pair<time_t, std::string>> first;
  std::vector<std::string> first_urls;

  // True when the pass sends, disposes and logs: a run's pass that its
  // mode did not refuse. Otherwise it selects and counts only.
  bool acts() const { return !session.dry && !refused; }
};

// Opens a selected file as the one that was listed into `pin`, for a tool
// to read: kPending when it is pinned. kGone (logged at LOG_ERR: the file
// is passed by, not sent) when its name no longer leads to that regular
// file; kUnreadable (logged at LOG_ERR, nothing opened for reading) when
// the folder's writers could not read the file held; kSettling (silent)
// when MOD_VASTREL_MIN_AGE is set and a writer still holds it, asked of
// the pinned descriptor, so the file is opened once. `pin` holds nothing
// after any of these.
Outcome pin_selected(const Pass& pass, const char* path, const FileIdentity& listed,
                     util::PinnedFile& pin);

// What the server told of a sent file's size: kNotAsked without
// MOD_VASTREL_VERIFY, kNoSize when it was asked and told none.
constexpr int64_t kNotAsked = -2;
constexpr int64_t kNoSize = -1;

// The size verdict of a sent file, with MOD_VASTREL_VERIFY: true when the
// server holds `told` bytes and the file listed had that many. Otherwise
// logs (LOG_ERR) that the file is kept as new, and counts it in the
// tally's short_files; every told size counts in `sized`. Changes no file.
bool server_holds_whole(Pass& pass, const char* path, const FileIdentity& listed, int64_t told);

// Logs once (LOG_ERR), after a pass whose server told no sent file's size,
// that MOD_VASTREL_VERIFY cannot work with it. Changes nothing.
void log_sizes_untold(const Pass& pass);

// After a successful transfer: report the file, then delete it or stamp it
// (through the pinned file) to the watermark; a file that changed
// meanwhile, or whose name leads elsewhere now, is left as it is.
// With MOD_VASTREL_VERIFY, `told` is the server's size of it (kNoSize for
// none): a file the server does not hold whole keeps its times, kShort
// (server_holds_whole logs it); kNotAsked without the key.
// Returns kSent; kSentStillNew when the stamp failed or the size changed
// after the check (the file is made new again); kPassedBy when it changed
// during the transfer; kGone when its name is gone or leads elsewhere. A
// sent file counts in the tally. With MOD_VASTREL_RUPLOADED, a file open
// for writing or whose delete fails is stamped instead. Logs "was
// uploaded", the removal and a writer that prevents it at LOG_NOTICE, each
// change or failure at LOG_ERR, and a failed stamp at LOG_NOTICE.
Outcome dispose_sent_file(Pass& pass, const char* path, const util::PinnedFile& pin,
                          const FileIdentity& listed, int64_t told);

}  // namespace upload
