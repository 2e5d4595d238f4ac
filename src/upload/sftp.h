// The sftp batch alternative of the upload pass.
#pragma once

#include <ctime>

#include "util/cmdline.h"
#include "util/scandir.h"

namespace upload {

constexpr const char* kSftpQueue = "/var/vastrel/sftp_list";

// Sends every file newer than the watermark in one sftp batch.
void upload_by_sftp(const util::Dir& dir, time_t watermark);

// Appends the "put" line for `path`; false (logged) when it was not queued.
bool queue_sftp_put(const char* path);

// The part after "sftp://" split into host and remote folder (given a
// trailing "/" when it has none, so it cannot name a remote file).
constexpr size_t kSftpPartSize = 128;  // at most 127 characters after sftp://
enum class SftpUrl { kOk, kNoScheme, kTooLong };
SftpUrl split_sftp_url(const char* url, char (&host)[kSftpPartSize],
                       char (&folder)[kSftpPartSize + 1]);

// Runs the batch; 1 when the sftp client succeeded, 0 otherwise (logged).
int sftp_put_batch(const char* remote_url, const char* username, const char* password);

// The queue line for `path` ("put PATH\n", quoted where sftp would read the
// path otherwise); false when it would exceed 255 characters.
bool format_sftp_put(util::CommandLine& line, const char* path);

// The exact path of one queue line (line end already cut), or null.
const char* parse_sftp_put(const char* line);

void open_sftp_queue();
// The exact path of the next queued line, or null at the end.
const char* next_sftp_put();
void close_sftp_queue();

}  // namespace upload
