// The "upload" operation: new files selected, sent, and disposed of.
// Three modes send them: curl per file, a curl batch, an sftp batch.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "settings/settings.h"
#include "util/cmdline.h"
#include "util/command.h"
#include "util/scandir.h"

namespace upload {

void op_upload();

// A remote URL holding "sftp" anywhere selects the sftp batch.
bool uses_sftp(const char* remote_url);

// The tools the upload pass runs under these settings.
std::vector<util::Tool> upload_tools(const settings::ModuleSettings& s);

// The selection: a regular file strictly newer than the watermark.
bool is_new(const util::ScanEntry& entry, time_t watermark);

enum class Mode { kCurl, kCurlBatch, kSftp };
Mode transfer_mode(const settings::ModuleSettings& s);

// Why a new file cannot be sent in a mode; kNone when it can. The one
// decision that the passes and "vastrel check" share.
enum class Refusal { kNone, kControl, kLineTooLong, kNameTooLong };
Refusal refusal_of(Mode mode, const char* path, const char* remote_url, const char* suffix);

// refusal_of for this run's settings, logged; true when the file is not sent.
bool refused(Mode mode, const char* path);

// True when files can be written under a temporary name and renamed after
// their transfer: ftp://, ftps:// and sftp:// URLs.
bool can_rename(const char* remote_url);

// The text after the last "/" of a path.
const char* name_of(const char* path);

// The name a file ends up under on the server: its own name where the URL
// names a folder (a trailing "/", or no path), else the URL's last segment,
// percent-decoded. False when that would be longer than 255 characters.
bool remote_name(char (&out)[util::kPathSize], const char* remote_url, const char* path);

// The URL curl sends one file to: the remote URL as it stands where curl
// names the upload right itself, else with the remote name appended whole,
// percent-encoded: a name with a backslash (curl would cut it there), or
// the temporary name NAME+SUFFIX. Null when it would not fit `out`.
const char* target_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path,
                       const char* suffix);

// The curl command line for one file; false when it would not fit. The
// credentials and bounds reach curl on its standard input ("-K -"); with a
// suffix, the rename follows the transfer (RNFR and RNTO, sent only after
// a successful one).
bool build_put_command(util::CommandLine& line, const char* path, const char* remote_url,
                       const char* suffix);

constexpr int kAttempts = 3;
// Seconds waited after every failed attempt, the last one too, so that the
// next file (or the next run) never follows a failure at once.
constexpr unsigned kRetryDelay = 5;

enum class PutResult { kSent, kFailed, kServerDown, kRefused };

// Sends one file with curl, given curl's configuration text. kServerDown:
// failed so that no other file can go either;
// kRefused: not run, the command line would not fit (logged).
PutResult curl_put_file(const char* path, const char* remote_url, const char* config);

// What a selected file was (size, modification time to the nanosecond,
// inode and device, folded into 64 bits so that a backlog of 100,000 files
// stays small), so that one changed during its transfer is not disposed
// of: deleting it would lose what was written meanwhile.
using FileIdentity = uint64_t;

FileIdentity identity_of(const struct stat& st);

// What this upload run did, for the metrics file.
struct RunTally {
  unsigned sent = 0;
  int64_t bytes_sent = 0;
  unsigned failed = 0;   // files whose last attempt failed
  unsigned refused = 0;  // new files that cannot be sent under their names
  bool server_unusable = false;
  bool busy = false;   // another run held the lock
  bool error = false;  // the pass could not run (logged)
};
extern RunTally tally;

// The order new files go in (MOD_VASTREL_SEND_ORDER).
enum class Order { kListing = 0, kOldestFirst = 1, kNewestFirst = 2 };
Order send_order(const settings::ModuleSettings& s);

// Up to `attempts` attempts, each failed one followed by kRetryDelay, then
// the disposition of a sent file; true when the last attempt failed so that
// the pass must end.
bool send_with_retries(const char* path, const FileIdentity& selected, time_t watermark,
                       const char* config, int attempts);

// Logs how many new files an ended pass leaves (`left` of them already
// counted, the rest of the folder by the same selection).
void report_left_files(const util::Dir& dir, time_t watermark, unsigned left);

// The line of a pass ended because the server cannot be used now.
void log_left_files(unsigned left);

// The new files in a folder: how many, their bytes, the oldest one's time.
struct Backlog {
  unsigned files = 0;
  int64_t bytes = 0;
  time_t oldest = 0;
};
Backlog backlog_of(const char* folder, time_t watermark);

// After a successful transfer: report the file, then delete it or stamp it
// to the watermark; a file that changed meanwhile is left new.
void dispose_sent_file(const char* path, const FileIdentity& selected, time_t watermark);

}  // namespace upload
