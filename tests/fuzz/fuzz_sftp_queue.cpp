// Any path the queue writer accepts reads back as exactly that path, and
// any line at all reads back without overrunning.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "upload/sftp.h"
#include "util/cmdline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (input.find('\0') != std::string::npos) return 0;
  if (const char* any = upload::parse_sftp_put(input.c_str())) {
    if (strlen(any) > input.size()) abort();
  }
  if (util::has_control(input.c_str())) return 0;  // the writer refuses these
  char buffer[256];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  if (!upload::format_sftp_put(line, input.c_str())) return 0;
  std::string text = line.text;
  if (text.size() > 255 || text.back() != '\n' || text.find('\n') != text.size() - 1) abort();
  text.pop_back();
  const char* back = upload::parse_sftp_put(text.c_str());
  if (back == nullptr || input != back) abort();
  return 0;
}
