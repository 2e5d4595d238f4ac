// The sftp batch alternative of the upload pass.
#pragma once

#include <ctime>

#include "util/cmdline.h"
#include "util/scandir.h"

namespace upload {

constexpr const char* kSftpQueue = "/var/vastrel/sftp_list";
constexpr const char* kSftpOutput = "/var/vastrel/sftp_output";

// Sends every file newer than the watermark in one sftp batch, and one more
// behind each file that fails on its own.
void upload_by_sftp(const util::Dir& dir, time_t watermark);

// The part after "sftp://" split into host and remote folder (given a
// trailing "/" when it has none, so it cannot name a remote file).
constexpr size_t kSftpPartSize = 128;  // at most 127 characters after sftp://
enum class SftpUrl { kOk, kNoScheme, kTooLong };
SftpUrl split_sftp_url(const char* url, char (&host)[kSftpPartSize],
                       char (&folder)[kSftpPartSize + 1]);

// The queue lines for `path`, at most 255 characters each: "put PATH\n"
// (quoted where sftp would read the path otherwise), or with a suffix the
// put to ./NAME+SUFFIX and its rename to ./NAME. False when a line would
// not fit.
bool format_sftp_put(util::CommandLine& line, const char* path, const char* suffix = "");

}  // namespace upload
