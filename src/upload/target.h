// Where a file goes on the server: remote names and the URL of one file.
// Shared by the transfer modes and by the pass's verdict. Text only: none
// of these logs, and each changes nothing but its `out`.
#pragma once

#include <ctime>

#include "settings/session.h"
#include "util/cmdline.h"
#include "util/findings.h"
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

// The URL curl sends one file to. Where the remote URL names a folder, the
// file's name is appended, percent-encoded: curl reads the file through a
// descriptor, whose path names nothing. With a suffix, the temporary name
// NAME+SUFFIX. Else the URL as it stands. Returns `out` holding the URL,
// or `remote_url` itself when it stands as it is; null when it would not
// fit `out`.
const char* target_url(char (&out)[util::kCommandSize], const char* remote_url, const char* path,
                       const char* suffix);

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
Placing place_file(const settings::Session& session, const char* name, time_t date,
                   Target& out);

// What stands in the way of the URL's fields: a field before the path,
// {name} before the last segment, an unusable device name (each a refusal
// that sends nothing); for check, the device name and where it came from,
// and each text in braces that is no field. Changes nothing, logs nothing.
void fields_verdict(const settings::Session& session, util::Findings& findings);

}  // namespace upload
