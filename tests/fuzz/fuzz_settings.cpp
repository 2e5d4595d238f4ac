// Any settings file: lookups never overrun, values hold no line end and
// no final double quote, and loading fills every text field.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (file == nullptr) return 0;
  for (const char* key : {"MOD_VASTREL_SCANFOLDER", "K", "MOD_VASTREL_TIMECOUNT"}) {
    const char* value = settings::find_setting(file, key);
    if (value != nullptr && (strchr(value, '\n') != nullptr || strchr(value, '\r') != nullptr ||
                             strlen(value) >= 16384)) {
      abort();
    }
    settings::setting_uint(file, key);
  }
  fclose(file);

  char path[] = "/tmp/fuzz-settings-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 0;
  FILE* out = fdopen(fd, "w");
  fwrite(data, 1, size, out);
  fclose(out);
  settings::ModuleSettings s;
  settings::load_settings(s, path);
  unlink(path);
  for (const settings::SettingKey& key : settings::kSettingKeys) {
    if (key.text == nullptr) continue;
    if (s.*key.text == nullptr) abort();
    free(const_cast<char*>(s.*key.text));
  }
  return 0;
}
