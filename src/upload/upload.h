// The "upload" operation: curl per file, or one sftp batch.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>

#include "util/cmdline.h"
#include "util/scandir.h"

namespace upload {

constexpr const char* kTimestamp = "/var/data/vastrel/timestamp";

void op_upload();

// A remote URL holding "sftp" anywhere selects the sftp batch.
bool uses_sftp(const char* remote_url);

// The selection: a regular file strictly newer than the watermark.
bool is_new(const util::ScanEntry& entry, time_t watermark);

// The curl command line for one file; false when it would not fit. The
// credentials and bounds reach curl on its standard input ("-K -").
bool build_put_command(util::CommandLine& line, const char* path, const char* remote_url);

constexpr int kAttempts = 3;
constexpr unsigned kRetryDelay = 5;  // seconds after each failed attempt

// The target URL of one file: the remote URL, or where its name holds a
// backslash (which curl would cut at) the URL with the name appended whole,
// percent-encoded, in `out`.
const char* upload_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path);

enum class PutResult { kSent, kFailed, kServerDown, kRefused };

// Sends one file with curl, given curl's configuration text. kServerDown:
// failed so that no other file can go either;
// kRefused: not run, the command line would not fit (logged).
PutResult curl_put_file(const char* path, const char* remote_url, const char* config);

// What a selected file was, so that one changed during its transfer is not
// disposed of: deleting it would lose what was written meanwhile.
struct FileIdentity {
  int64_t size;
  int64_t mtime_sec;
  long mtime_nsec;
  uint64_t inode;
  uint64_t device;
};

FileIdentity identity_of(const struct stat& st);

// Up to `attempts` attempts, 5 s apart, then the disposition of a sent file;
// true when the last attempt failed so that the pass must end.
bool send_with_retries(const char* path, const FileIdentity& selected, time_t watermark,
                       const char* config, int attempts);

// Logs how many new files an ended pass leaves (`left` of them already
// counted, the rest of the folder by the same selection).
void report_left_files(const util::Dir& dir, time_t watermark, unsigned left);

// After a successful transfer: report the file, then delete it or stamp it
// to the watermark; a file that changed meanwhile is left new.
void dispose_sent_file(const char* path, const FileIdentity& selected, time_t watermark);

}  // namespace upload
