#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "test_files.h"

namespace {

struct Case {
  const char* content;
  const char* key;
  const char* expected;  // null: no match
};

class FindSetting : public ::testing::TestWithParam<Case> {};

TEST_P(FindSetting, ReadsValueByTheLineRules) {
  TempDir dir;
  FILE* f = fopen(dir.file("s", GetParam().content).c_str(), "r");
  ASSERT_NE(f, nullptr);
  const char* value = settings::find_setting(f, GetParam().key);
  if (GetParam().expected == nullptr) {
    EXPECT_EQ(value, nullptr);
  } else {
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, GetParam().expected);
  }
  fclose(f);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FindSetting,
    ::testing::Values(Case{"MOD_VASTREL_SCANFOLDER=/scan\n", "MOD_VASTREL_SCANFOLDER", "/scan"},
                      Case{"MOD_VASTREL_SCANFOLDER=\"/scan\"\n", "MOD_VASTREL_SCANFOLDER", "/scan"},
                      Case{"mod_vastrel_checkftp=1\n", "MOD_VASTREL_CHECKFTP", "1"},
                      Case{"MOD_VASTREL_CHECKFTP =1\n", "MOD_VASTREL_CHECKFTP", nullptr},
                      Case{"K=\"open\n", "K", ""}, Case{"K=\"a\"b\"\n", "K", "a\"b"},
                      Case{"K=ab\"\n", "K", "ab"}, Case{"K=first\nK=second\n", "K", "first"},
                      Case{"export K=1\n", "K", nullptr}, Case{"#K=1\n", "K", nullptr},
                      Case{"K='quoted'\n", "K", "'quoted'"}, Case{"K=crlf\r\n", "K", "crlf"},
                      Case{"K=a\rb\n", "K", "a"}, Case{"no equals sign\nK=v", "K", "v"},
                      Case{"K=a=b\n", "K", "a=b"}, Case{"", "K", nullptr}));

class SettingUint : public ::testing::TestWithParam<std::pair<const char*, uint32_t>> {};

TEST_P(SettingUint, ReadsLikePercentU) {
  TempDir dir;
  FILE* f = fopen(dir.file("s", GetParam().first).c_str(), "r");
  EXPECT_EQ(settings::setting_uint(f, "MOD_VASTREL_TIMECOUNT"), GetParam().second);
  fclose(f);
}

INSTANTIATE_TEST_SUITE_P(Numbers, SettingUint,
                         ::testing::Values(std::make_pair("MOD_VASTREL_TIMECOUNT=12days\n", 12u),
                                           std::make_pair("MOD_VASTREL_TIMECOUNT=x\n", 0u),
                                           std::make_pair("OTHER=3\n", 0u),
                                           std::make_pair("MOD_VASTREL_TIMECOUNT=+7\n", 7u),
                                           std::make_pair("MOD_VASTREL_TIMECOUNT= 5\n", 5u),
                                           std::make_pair("MOD_VASTREL_TIMECOUNT=-1\n",
                                                          4294967295u)));

TEST(Settings, OverlongLineIsReadAsSeveralLines) {
  TempDir dir;
  // The tail of a 16390-character line starts a line of its own.
  std::string content = std::string(16383, 'x') + "K=tail\n";
  FILE* f = fopen(dir.file("s", content).c_str(), "r");
  const char* value = settings::find_setting(f, "K");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "tail");
  fclose(f);
}

TEST(Settings, NullFileAndMissingKeysGiveDefaults) {
  EXPECT_EQ(settings::find_setting(nullptr, "K"), nullptr);
  EXPECT_EQ(settings::setting_uint(nullptr, "K"), 0u);
  char* s = settings::setting_string(nullptr, "K");
  EXPECT_STREQ(s, "");
  free(s);
}

void free_strings(settings::ModuleSettings& s) {
  for (const settings::SettingKey& key : settings::kSettingKeys) {
    if (key.text != nullptr) free(const_cast<char*>(s.*key.text));
  }
}

// Every key of the table, each with a value of its own: a key that fills
// another's field, or none, leaves some field without its value.
TEST(Settings, LoadFillsEveryFieldFromItsKey) {
  std::string content;
  for (size_t k = 0; k < settings::kSettingKeyCount; ++k) {
    const settings::SettingKey& key = settings::kSettingKeys[k];
    content += std::string(key.name) + "=" +
               (key.text != nullptr ? "text" + std::to_string(k) : std::to_string(100 + k)) + "\n";
  }
  TempDir dir;
  std::string path = dir.file("settings", content);
  settings::ModuleSettings s;
  settings::load_settings(s, path.c_str());
  for (size_t k = 0; k < settings::kSettingKeyCount; ++k) {
    const settings::SettingKey& key = settings::kSettingKeys[k];
    if (key.text != nullptr) {
      EXPECT_EQ(s.*key.text, "text" + std::to_string(k)) << key.name;
    } else {
      EXPECT_EQ(s.*key.number, 100 + k) << key.name;
    }
  }
  free_strings(s);
}

TEST(Settings, MissingOrUnreadableFileGivesDefaults) {
  TempDir dir;
  std::string unreadable = dir.path;  // a folder opens but reads nothing
  for (const std::string& path : {dir.path + "/missing", unreadable}) {
    settings::ModuleSettings s;
    settings::load_settings(s, path.c_str());
    EXPECT_STREQ(s.scan_folder, "");
    EXPECT_STREQ(s.remote_url, "");
    EXPECT_EQ(s.check_ftp, 0u);
    EXPECT_EQ(s.time_count, 0u);
    EXPECT_EQ(s.connect_timeout, 30u);
    EXPECT_EQ(s.stall_timeout, 120u);
    free_strings(s);
  }
}

}  // namespace
