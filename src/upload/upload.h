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

// After a successful transfer: report the file, then delete it or stamp it
// to the watermark; a file that changed meanwhile is left new.
void dispose_sent_file(const char* path, const FileIdentity& selected, time_t watermark);

}  // namespace upload
