// Where a file goes on the server: remote names and the URL of one file.
// Shared by the transfer modes and by the pass's verdict. Text only: none
// of these logs, and each changes nothing but its `out`.
#pragma once

#include "util/cmdline.h"
#include "util/scandir.h"

namespace upload {

// A remote URL holding "sftp" anywhere selects the sftp batch.
bool uses_sftp(const char* remote_url);

// True when files can be written under a temporary name and renamed after
// their transfer: ftp://, ftps:// and sftp:// URLs.
bool can_rename(const char* remote_url);

// The text after the last "/" of a path (inside it), or the whole path.
const char* name_of(const char* path);

// The name a file ends up under on the server: its own name where the URL
// names a folder (a trailing "/", or no path), else the URL's last segment,
// percent-decoded. False (`out` unusable) when that would be longer than
// 255 characters.
bool remote_name(char (&out)[util::kPathSize], const char* remote_url, const char* path);

// True when the remote name plus `suffix` fits in 255 characters.
bool remote_name_fits(const char* remote_url, const char* path, const char* suffix);

// The URL of the folder that a URL naming a folder (a trailing "/", or no
// path) names; null for a URL that names a file, or that would not fit `out`.
const char* folder_url(char (&out)[util::kCommandSize], const char* remote_url);

// The URL curl sends one file to. Where the remote URL names a folder, the
// file's name is appended, percent-encoded: curl reads the file through a
// descriptor, whose path names nothing. With a suffix, the temporary name
// NAME+SUFFIX. Else the URL as it stands. Returns `out` holding the URL,
// or `remote_url` itself when it stands as it is; null when it would not
// fit `out`.
const char* target_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path,
                       const char* suffix);

}  // namespace upload
