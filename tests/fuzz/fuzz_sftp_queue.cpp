// Any file the queue writer accepts reads back, as the sftp client splits
// its words, as the link named exactly as the file, with and without a
// suffix.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../unit/sftp_words.h"
#include "upload/sftp.h"
#include "upload/target.h"
#include "util/cmdline.h"

namespace {

std::vector<std::string> line_words(const std::string& text) {
  std::vector<std::string> words;
  if (text.size() > 255 || text.back() != '\n' ||
      !sftp_words(text.substr(0, text.size() - 1), words)) {
    abort();
  }
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  // A queued path is a scan folder's file: never empty, never holding NUL.
  if (input.empty() || input.find('\0') != std::string::npos) return 0;
  if (util::has_control(input.c_str())) return 0;  // never queued
  const char* name = upload::name_of(input.c_str());
  std::string source = std::string(upload::kSftpFiles) + "/" + name;
  std::string remote = std::string("./") + name;
  char buffer[512];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  if (!upload::format_sftp_put(line, input.c_str())) return 0;
  if (line_words(line.text) != std::vector<std::string>{"put", source}) abort();
  line = util::command_line(buffer, sizeof buffer);
  if (!upload::format_sftp_put(line, input.c_str(), ".part")) return 0;
  std::string text = line.text;
  size_t end = text.find('\n') + 1;
  if (line_words(text.substr(0, end)) != std::vector<std::string>{"put", source + ".part"} ||
      line_words(text.substr(end)) !=
          std::vector<std::string>{"rename", remote + ".part", remote}) {
    abort();
  }
  return 0;
}
