// Where a file goes on the server: remote names and the URL of one file.
// Shared by the transfer modes and by the pass's verdict. Text only: none
// of these logs, and each changes nothing but its `out`.
#pragma once

#include <cstdint>

#include "util/cmdline.h"
#include "util/scandir.h"

namespace upload {

// A remote URL holding "sftp" anywhere selects the sftp batch; an s3:// URL
// never does (a bucket or key may hold the word).
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

// True for an object storage URL, s3://BUCKET/PREFIX (any letter case of
// the scheme).
bool is_s3(const char* remote_url);

// The suffix the transfers write under: MOD_VASTREL_PARTIAL_SUFFIX, or ""
// for object storage, where a PUT is whole or absent and nothing renames.
const char* upload_suffix(const char* remote_url, const char* partial_suffix);

// The bucket of an s3:// URL: the text up to the first "/" after the
// scheme. False when it is empty or longer than 255 characters. Changes
// only `out`.
bool s3_bucket(char (&out)[256], const char* remote_url);

// The remote path (the object's key) of the file `path` under an s3:// URL:
// the URL's path after the bucket as written, then the file's name where the
// URL names a folder (a trailing "/", or no path). False (`out` unusable)
// when it would not fit. Changes only `out`.
bool s3_remote_path(char (&out)[util::kPathSize], const char* remote_url, const char* path);

// The most one PUT to object storage holds.
constexpr int64_t kS3MaxObject = int64_t{5} << 30;

// False for a file of `size` bytes that object storage cannot take in one
// upload; true for every file of other URLs.
bool fits_one_upload(const char* remote_url, int64_t size);

// The path-style URL ENDPOINT/BUCKET/KEY that curl sends the object at the
// worked-out remote path `key` to, the key encoded as Signature V4 signs
// it: "/" kept, every byte outside A-Za-z0-9-._~ percent-encoded (curl
// signs the path as written). Null when it would not fit `out` or the URL
// has no bucket. Changes only `out`.
const char* s3_object_url(char (&out)[util::kCommandSize], const char* endpoint,
                          const char* remote_url, const char* key);

// The URL of the folder that a URL naming a folder (a trailing "/", or no
// path) names; null for a URL that names a file, or that would not fit `out`.
const char* folder_url(char (&out)[util::kCommandSize], const char* remote_url);

// The URL curl sends one file to. Where the remote URL names a folder, the
// file's name is appended, percent-encoded: curl reads the file through a
// descriptor, whose path names nothing. With a suffix, the temporary name
// NAME+SUFFIX. Else the URL as it stands. Returns `out` holding the URL,
// or `remote_url` itself when it stands as it is; null when it would not
// fit `out`. For an s3:// URL, s3_object_url of s3_remote_path at
// `endpoint` (unused otherwise), and no suffix.
const char* target_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path,
                       const char* suffix, const char* endpoint);

}  // namespace upload
