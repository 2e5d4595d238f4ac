// Walking the regular files of the scan folder.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "util/descriptor.h"
#include "util/findings.h"
#include "util/trusted.h"

namespace util {

constexpr size_t kPathSize = 256;  // "%s/%s" paths hold at most 255 characters

// Joins folder and name into `out`; false (and nothing usable) when the
// result would not fit, since a cut path can name another file. Changes
// nothing else, logs nothing.
bool join_path(char* out, size_t size, const char* folder, const char* name);

// Owns an open directory so that every path out of a pass closes it.
class Dir {
 public:
  Dir() = default;
  // Opens the folder as open() does.
  explicit Dir(const char* path) { open(path); }
  ~Dir() {
    if (dir_ != nullptr) closedir(dir_);
  }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  // Opens the folder along a way only root can change (open_trusted),
  // closing the folder held before; false (errno set, EPERM where others
  // could change the way, and nothing held) when it cannot be opened.
  bool open(const char* path);
  // Lists the open folder `fd` from now on; false (errno set) when it
  // cannot, and `fd` is closed then.
  bool adopt(Descriptor fd);
  // The listing, null when nothing is held; fd() only while one is.
  DIR* get() const { return dir_; }
  int fd() const { return dirfd(dir_); }

 private:
  DIR* dir_ = nullptr;
};

constexpr const char* kScanWayRefusal =
    "Scan folder %s is reached through %s, which user %u can change, nothing is done";

// Opens the scan folder along a way only root can change into `way`:
// false with the refusal added to `findings` when others could change the
// way, false with way.error when it cannot be opened otherwise. Logs
// nothing.
bool walk_scan_folder(const char* folder, TrustedPath& way, Findings& findings);

// How the scan folder's opening went.
enum class ScanOpen { kOpened, kWayRefused, kFailed };

// Opens the scan folder for a pass, or refuses the pass: kScanWayRefusal,
// else "Cannot open dir". Check also says why, or that it is readable.
// Logs nothing.
ScanOpen open_scan_folder(Dir& dir, const char* folder, Findings& findings);

// The same for a run: false, with the refusal logged at LOG_ERR, when it
// cannot.
bool open_scan_folder(Dir& dir, const char* folder);

// A listing of the open folder `dir_fd` from its start, on a descriptor of
// its own (a duplicate shares its position with every other); null (errno
// set) on failure. The caller ends it with closedir. Logs nothing.
DIR* list_folder(int dir_fd);

// True when the listed entry of the open folder `dir_fd` is a regular
// file: as the listing gives its type, or, where the file system gives
// none (DT_UNKNOWN), as its status says (fstatat, no link followed).
// Changes nothing, logs nothing.
bool is_regular_entry(int dir_fd, const struct dirent* entry);

// Deletes every entry of the open folder but its subfolders (an entry that
// cannot be deleted stays, silently); false (errno set) when it cannot be
// listed. Logs nothing.
bool empty_folder(int dir_fd);

constexpr uint32_t kNamesBlockSize = 64 * 1024;

// Many names held compactly: appended into blocks of 64 KiB, never moved
// once stored (so a large backlog never needs twice its size at once), each
// addressed by 32 bits.
class Names {
 public:
  // Stores a copy of a name of at most 255 characters; returns where it
  // stands.
  uint32_t add(const char* name);
  // Stores copies of `count` texts one after another, each with its
  // terminating NUL, together at most kNamesBlockSize bytes; returns where
  // the first stands.
  uint32_t add(const char* const* texts, size_t count);
  // The name stored at `where`, until clear().
  const char* at(uint32_t where) const {
    return blocks_[where / kNamesBlockSize].get() + where % kNamesBlockSize;
  }
  // Drops every name and frees the blocks.
  void clear();

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  uint32_t used_ = kNamesBlockSize;
};

// One regular file of the folder: its name, its full path and its status.
struct ScanEntry {
  const char* name;
  char path[kPathSize];
  struct stat st;
};

// Entries passed by for a reason other than their type or disappearance.
struct SkipCounts {
  unsigned too_long = 0;
  unsigned unreadable = 0;
};

// Steps to the next regular file (listed as one or of a type the listing
// does not give, and found as one, never through a link) whose path fits and whose status can be read, and fills `entry`
// (its name valid until the next step); false at the end of the listing.
// Moves the listing on. Entries passed by for a reason other than their
// type or their disappearance are logged at LOG_ERR, or only counted when
// `skips` is given.
bool next_regular_file(const Dir& dir, const char* folder, ScanEntry& entry,
                       SkipCounts* skips = nullptr);

}  // namespace util
