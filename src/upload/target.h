// Where a file goes on the server: remote names and the URL of one file.
// Shared by the transfer modes and by the pass's verdict. Text only: none
// of these logs, and each changes nothing but its `out`.
#pragma once

#include <cstdint>
#include <ctime>

#include "settings/session.h"
#include "util/cmdline.h"
#include "util/findings.h"
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

// A selected file's place on the server, worked out once (place_file) and
// carried with it to its mode, its verification and its disposal.
struct Place {
  const char* url;     // where curl sends it: NAME+SUFFIX with a suffix
  const char* folder;  // sftp: the remote folder the URL's fields make, "" where they make none
  const char* name;    // the name it ends up under (NAME)
};

// The texts a Place points into.
struct Target {
  char url[util::kCommandSize];
  char folder[util::kPathSize];
  char name[util::kPathSize];
  Place place() const { return Place{url, folder, name}; }
};

// Whether a file could be placed.
enum class Placing { kPlaced, kNameTooLong, kTooLong, kNoDate };

// True when the remote URL holds a field ({device} {Y} {m} {d} {H}
// {name}) anywhere. Changes nothing.
bool has_fields(const char* remote_url);

// True when each file has a remote name of its own: the URL names a folder
// (a trailing "/", or no path) or its last segment holds {name}.
bool names_each_file(const char* remote_url);

// True when the URL's folders hold a field and its server has folders to
// make (not HTTP): curl is then told to make the missing ones.
bool makes_folders(const char* remote_url);

// The length of the beginning of the URL path `path` (from its "/")
// that no field changes: up to and including the "/" before the first
// segment with a field; the whole path when it holds none.
size_t fixed_folder_length(const char* path);

// Works out where the file named `name` goes under the session's remote
// URL and suffix, into `out`: the URL's fields take their values (the
// session's device name, `date` in UTC, `name`), percent-encoded in the
// URL and as they are in the sftp folder and name. `date` is the file's
// date, or -1 when it has none to give (then a URL that needs a date gives
// kNoDate). kNameTooLong: the name, or the name and suffix, longer than
// 255 characters; kTooLong: the URL or the folder would not fit. Logs
// nothing, changes only `out`.
Placing place_file(const settings::Session& session, const char* name, time_t date, Target& out);

// What stands in the way of the URL's fields: a field before the path,
// {name} before the last segment, an unusable device name (each a refusal
// that sends nothing); for check, the device name and where it came from,
// and each text in braces that is no field. Changes nothing, logs nothing.
void fields_verdict(const settings::Session& session, util::Findings& findings);

}  // namespace upload
