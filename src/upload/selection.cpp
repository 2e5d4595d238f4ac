// The selection of a pass: adding, ordering and naming its files.
#include "upload/selection.h"

#include <algorithm>
#include <cstring>

namespace upload {

Order send_order(const settings::ModuleSettings& s) {
  return s.send_order == 1 || s.send_order == 2 ? static_cast<Order>(s.send_order)
                                                : Order::kListing;
}

void Selection::add(const util::ScanEntry& entry, const Place& place) {
  FileIdentity listed = identity_of(entry.st);
  const char* parts[] = {place.url, place.folder, place.name};
  items_.push_back(Item{names_.add(entry.name), places_.add(parts, 3), listed.mtime_nsec,
                        listed.mtime_sec, listed.size, listed.object});
  outcomes_.push_back(Outcome::kPending);
}

void Selection::clear() {
  items_.clear();
  outcomes_.clear();
  names_.clear();
  places_.clear();
}

Place Selection::place(size_t k) const {
  const char* url = places_.at(items_[k].place);
  const char* folder = url + strlen(url) + 1;
  return Place{url, folder, folder + strlen(folder) + 1};
}

void Selection::path(size_t k, const char* folder, char (&out)[util::kPathSize]) const {
  if (!util::join_path(out, sizeof out, folder, name(k))) out[0] = '\0';
}

// Outcomes are all pending while a selection is ordered.
void Selection::sort(Order order) {
  if (order == Order::kListing) return;
  bool newest_first = order == Order::kNewestFirst;
  std::sort(items_.begin(), items_.end(), [this, newest_first](const Item& a, const Item& b) {
    if (a.mtime_sec != b.mtime_sec || a.mtime_nsec != b.mtime_nsec) {
      bool older =
          a.mtime_sec < b.mtime_sec || (a.mtime_sec == b.mtime_sec && a.mtime_nsec < b.mtime_nsec);
      return older != newest_first;
    }
    return strcmp(names_.at(a.name), names_.at(b.name)) < 0;
  });
}

bool pin_file(const Pass& pass, Selection& files, size_t k, char (&path)[util::kPathSize],
              util::PinnedFile& pin) {
  files.path(k, pass.cfg.scan_folder, path);
  Outcome outcome = pin_selected(pass, path, files.identity(k), pin);
  if (outcome == Outcome::kPending) return true;
  files.set_outcome(k, outcome);
  return false;
}

}  // namespace upload
