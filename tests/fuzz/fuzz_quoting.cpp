// Any value: quoted for the shell (bare, double-quoted word, echo, sed
// replacement) and run through /bin/sh, it comes back exactly; the curl
// config line is exactly what curl's config syntax wants.
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/cmdline.h"
#include "util/curl.h"

namespace {

std::string run(const char* line) {
  FILE* pipe = popen(line, "r");
  if (pipe == nullptr) abort();
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  if (pclose(pipe) != 0) abort();
  return out;
}

std::string curl_escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string value(reinterpret_cast<const char*>(data), size);
  // An empty value is inserted as it stands, as in the plain templates, so
  // a bare empty word vanishes by design.
  if (value.empty() || value.find('\0') != std::string::npos || size > 200) return 0;
  char buffer[util::kCommandSize * 4];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(line, "printf '%s|' ");
  util::cmd_word(line, value.c_str());
  util::cmd_raw(line, " ");
  util::cmd_dq_word(line, value.c_str());
  util::cmd_raw(line, "; ");
  util::cmd_echo(line, value.c_str());
  std::string expected = value + "|" + value + "|" + value + "\n";
  if (value.find('\n') == std::string::npos) {
    util::cmd_raw(line, "; printf 'x\\n' | sed -e 's#^#");
    util::cmd_sed_replacement(line, value.c_str());
    util::cmd_raw(line, "#'");
    expected += value + "x\n";
    char config_buffer[util::kCommandSize * 4];
    util::CommandLine config = util::command_line(config_buffer, sizeof config_buffer);
    util::curl_user_line(config, value.c_str(), "p");
    if (config.text != "user=\"" + curl_escaped(value) + ":p\"\n") abort();
  }
  if (line.overflow) abort();
  if (run(line.text) != expected) abort();
  return 0;
}
