// Long folder listings, as servers and clients print them.
#include "upload/listing.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "util/scandir.h"

namespace upload {

namespace {

constexpr const char* kBlanks = " \t";

// The start of the field after the one at `p`, past its blanks; null at
// the line's end.
const char* next_field(const char* p) {
  p += strcspn(p, kBlanks);
  if (*p == '\0') return nullptr;
  p += strspn(p, kBlanks);
  return *p == '\0' ? nullptr : p;
}

bool is_month(const char* p) {
  constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (strcspn(p, kBlanks) != 3) return false;
  for (const char* m = kMonths; *m != '\0'; m += 3) {
    if (strncmp(p, m, 3) == 0) return true;
  }
  return false;
}

// The number that the field at `p` is wholly made of, or -1.
int64_t field_number(const char* p) {
  if (*p < '0' || *p > '9') return -1;
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(p, &end, 10);
  if (errno != 0 || (*end != '\0' && strchr(kBlanks, *end) == nullptr)) return -1;
  return value;
}

// "ls -l": the size is the number before the month, the name follows the
// third date field and one blank.
bool unix_line(const char* line, int64_t& size, const char*& name) {
  if (line[0] != '-' && line[0] != 'l') return false;  // a folder, or not a file
  const char* fields[6] = {line};
  for (int k = 1; k < 6; ++k) {
    fields[k] = next_field(fields[k - 1]);
    if (fields[k] == nullptr) return false;
    if (k < 3 || !is_month(fields[k])) continue;
    const char* day = next_field(fields[k]);
    const char* clock = day != nullptr ? next_field(day) : nullptr;
    if (clock == nullptr) return false;
    const char* end = clock + strcspn(clock, kBlanks);
    size = field_number(fields[k - 1]);
    if (*end == '\0' || size < 0) return false;
    name = end + 1;
    return *name != '\0';
  }
  return false;
}

// DOS: "MM-DD-YY  HH:MMAM  SIZE NAME", or "<DIR>" for a folder.
bool dos_line(const char* line, int64_t& size, const char*& name) {
  if (line[0] < '0' || line[0] > '9' || line[2] != '-') return false;
  const char* clock = next_field(line);
  const char* length = clock != nullptr ? next_field(clock) : nullptr;
  if (length == nullptr) return false;
  size = field_number(length);
  name = next_field(length);
  return size >= 0 && name != nullptr;
}

// A name as a client shows it where its locale has no character for a
// byte: each byte outside printable ASCII as \ooo.
std::string escaped(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    char octal[8];
    snprintf(octal, sizeof octal, "\\%03o", c);
    out += octal;
  }
  return out;
}

}  // namespace

bool listing_line(char* line, int64_t& size, const char*& name) {
  line[strcspn(line, "\r\n")] = '\0';
  return unix_line(line, size, name) || dos_line(line, size, name);
}

std::vector<int64_t> listed_sizes(FILE* file, const char* after, const char* prefix,
                                  const std::vector<std::string>& names) {
  std::vector<int64_t> sizes(names.size(), -1);
  std::unordered_map<std::string, size_t> wanted;
  for (size_t j = 0; j < names.size(); ++j) {
    wanted.emplace(prefix + names[j], j);
    wanted.emplace(prefix + escaped(names[j]), j);  // the same name when all ASCII
  }
  std::vector<bool> seen(names.size(), false);
  size_t echo_word = after != nullptr ? strcspn(after, " ") + 1 : 0;
  bool listing = after == nullptr;
  char line[util::kPathSize + 256];
  bool at_start = true;
  while (file != nullptr && fgets(line, sizeof line, file) != nullptr) {
    bool whole = strchr(line, '\n') != nullptr || feof(file);
    bool starts = at_start;
    at_start = strchr(line, '\n') != nullptr;
    if (!starts || !whole) continue;  // a line longer than any name is none of them
    if (after != nullptr && strncmp(line, after, echo_word) == 0) {
      if (listing) break;
      listing = strncmp(line, after, strlen(after)) == 0 && line[strlen(after)] == '\n';
      continue;
    }
    int64_t size = 0;
    const char* name = nullptr;
    if (!listing || !listing_line(line, size, name)) continue;
    auto found = wanted.find(name);
    if (found == wanted.end()) continue;
    size_t j = found->second;
    sizes[j] = seen[j] ? -1 : size;  // stays -1 however often it recurs
    seen[j] = true;
  }
  return sizes;
}

}  // namespace upload
