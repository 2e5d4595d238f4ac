// The new files of a pass, in the order they are sent.
// Held compactly (24 bytes and the name each) so that a large backlog can
// be ordered, queued and sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <vector>

#include "upload/upload.h"
#include "util/scandir.h"

namespace upload {

class Selection {
 public:
  // Adds a file found by the scan; its name is at most 255 characters.
  void add(const util::ScanEntry& entry);
  void clear();
  size_t size() const { return items_.size(); }
  const char* name(size_t k) const { return name_at(items_[k].name); }
  const FileIdentity& identity(size_t k) const { return items_[k].identity; }
  time_t mtime(size_t k) const { return static_cast<time_t>(items_[k].mtime_sec); }
  // The file's path in the scan folder, which the scan found to fit.
  void path(size_t k, const char* folder, char (&out)[util::kPathSize]) const;
  // Oldest or newest modification time first, the name breaking ties.
  void sort(Order order);

 private:
  static constexpr uint32_t kBlockSize = 64 * 1024;
  struct Item {
    uint32_t name;  // block * kBlockSize + offset
    int32_t mtime_nsec;
    int64_t mtime_sec;
    FileIdentity identity;
  };
  const char* name_at(uint32_t at) const {
    return blocks_[at / kBlockSize].get() + at % kBlockSize;
  }
  // A deque grows without copying what it holds, so a large backlog never
  // needs twice its size at once.
  std::deque<Item> items_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  uint32_t used_ = kBlockSize;
};

// Adds every new file that `mode` can send to `files`, logging those it
// cannot (they stay new); at most `limit` files, then true while the scan
// has more to give.
bool select_new_files(const util::Dir& dir, time_t watermark, Mode mode, Selection& files,
                      size_t limit = SIZE_MAX);

}  // namespace upload
