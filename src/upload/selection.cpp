#include "upload/selection.h"

#include <cstring>

#include "settings/settings.h"
#include "util/filestat.h"

namespace upload {

void Selection::add(const util::ScanEntry& entry) {
  size_t length = strlen(entry.name) + 1;
  if (used_ + length > kBlockSize) {
    blocks_.emplace_back(new char[kBlockSize]);
    used_ = 0;
  }
  memcpy(blocks_.back().get() + used_, entry.name, length);
  items_.push_back(Item{static_cast<uint32_t>(blocks_.size() - 1), used_, identity_of(entry.st)});
  used_ += static_cast<uint32_t>(length);
}

void Selection::clear() {
  items_.clear();
  blocks_.clear();
  used_ = kBlockSize;
}

void Selection::path(size_t k, const char* folder, char (&out)[util::kPathSize]) const {
  if (!util::join_path(out, sizeof out, folder, name(k))) out[0] = '\0';
}

bool select_new_files(const util::Dir& dir, time_t watermark, Mode mode, Selection& files,
                      size_t limit) {
  util::ScanEntry entry;
  while (files.size() < limit) {
    if (!util::next_regular_file(dir, settings::cfg.scan_folder, entry)) return false;
    if (is_new(entry, watermark) && !refused(mode, entry.path)) files.add(entry);
  }
  return true;
}

}  // namespace upload
