// Sizes told by a server's long listing of a folder: one listing after a
// batch's transfers costs a round trip or two, where a query for each
// file would cost as many as the upload itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace upload {

// The size and name that one line of a long listing tells, in the "ls -l"
// form (mode, links, owner, group, size, three date fields, one blank, the
// name; some servers give no group or no links) or the DOS form (date,
// time, size, blanks, the name). False for a folder and for any other
// line. Cuts the line end off `line`; `name` points into it.
bool listing_line(char* line, int64_t& size, const char*& name);

// The sizes that the listing in `file` tells of `names` (in order), each
// listed as `prefix` followed by the name, as it is or with each byte
// outside printable ASCII shown as \ooo (as sftp shows it); the listing starts after the
// line `after` (a client's echo of its listing command), or at the start
// when that is null, and ends at the file's end or the next line that
// starts with `after`'s first word. kNoSize (-1) for a name listed never,
// or more than once: a name holding a line break could forge a line.
// Reads `file` from where it stands; changes nothing, logs nothing.
std::vector<int64_t> listed_sizes(FILE* file, const char* after, const char* prefix,
                                  const std::vector<std::string>& names);

}  // namespace upload
