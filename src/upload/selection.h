// The new files of a pass, in the order they are sent, with what became
// of each. Held compactly (32 bytes, an outcome byte and the name each) so
// that a large backlog can be ordered, queued and sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <vector>

#include "upload/pass.h"
#include "upload/target.h"
#include "util/scandir.h"

namespace upload {

// The order new files go in (MOD_VASTREL_SEND_ORDER).
enum class Order { kListing = 0, kOldestFirst = 1, kNewestFirst = 2 };
// The order the settings choose; kListing for any value but 1 or 2.
Order send_order(const settings::ModuleSettings& s);

class Selection {
 public:
  // Adds a file found by the scan, as listed and pending, with its place
  // on the server; its name is at most 255 characters.
  void add(const util::ScanEntry& entry, const Place& place);
  // Drops every file.
  void clear();
  // How many files; file k (below size()) as it was listed, and its
  // outcome, which only set_outcome changes.
  size_t size() const { return items_.size(); }
  const char* name(size_t k) const { return names_.at(items_[k].name); }
  FileIdentity identity(size_t k) const {
    const Item& item = items_[k];
    return FileIdentity{item.object, item.size, item.mtime_sec, item.mtime_nsec};
  }
  time_t mtime(size_t k) const { return static_cast<time_t>(items_[k].mtime_sec); }
  int64_t file_size(size_t k) const { return items_[k].size; }
  // Where file k goes, as place_file worked it out when it was added.
  Place place(size_t k) const;
  Outcome outcome(size_t k) const { return outcomes_[k]; }
  void set_outcome(size_t k, Outcome outcome) { outcomes_[k] = outcome; }
  // The file's path in the scan folder, which the scan found to fit; ""
  // should it not.
  void path(size_t k, const char* folder, char (&out)[util::kPathSize]) const;
  // Oldest or newest modification time first, the name breaking ties;
  // kListing keeps the order. Only while every outcome is pending: the
  // outcomes do not move with their files.
  void sort(Order order);

 private:
  struct Item {
    uint32_t name;   // in names_
    uint32_t place;  // in places_: its URL, folder and name, one after another
    int32_t mtime_nsec;
    int64_t mtime_sec;
    int64_t size;
    uint64_t object;
  };
  // A deque grows without copying what it holds, so a large backlog never
  // needs twice its size at once.
  std::deque<Item> items_;
  std::deque<Outcome> outcomes_;
  util::Names names_;
  util::Names places_;
};

// Pins file k of the selection into `pin` for a tool to read, its path in
// `path`; false, with the file's outcome set, when pin_selected does not
// pin it (kGone is logged at LOG_ERR).
bool pin_file(const Pass& pass, Selection& files, size_t k, char (&path)[util::kPathSize],
              util::PinnedFile& pin);

}  // namespace upload
