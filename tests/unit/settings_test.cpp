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

TEST(Settings, LoadFillsEveryFieldFromItsKey) {
  TempDir dir;
  std::string path = dir.file("settings",
                              "MOD_VASTREL_ENABLED=1\nMOD_VASTREL_SCANFOLDER=/scan\n"
                              "MOD_VASTREL_DOWNLOAD=2\nMOD_VASTREL_DOWNLOAD_URL=ftp://d/\n"
                              "MOD_VASTREL_DOWNLOAD_USER=du\nMOD_VASTREL_DOWNLOAD_PASSWD=dp\n"
                              "MOD_VASTREL_REMOTEURL=ftp://r/\nMOD_VASTREL_USERNAME=u\n"
                              "MOD_VASTREL_PASSWORD=p\nMOD_VASTREL_CHECKFTP=3\n"
                              "MOD_VASTREL_REMOVEOLDER=4\nMOD_VASTREL_TIMEUNIT=5\n"
                              "MOD_VASTREL_TIMECOUNT=6\nMOD_VASTREL_UINT_TYPE=7\n"
                              "MOD_VASTREL_UHOURS=8\nMOD_VASTREL_UDAY=9\n"
                              "MOD_VASTREL_RUPLOADED=10\nMOD_VASTREL_RINT_TYPE=11\n"
                              "MOD_VASTREL_RHOURS=12\nMOD_VASTREL_RDAY=13\n"
                              "MOD_VASTREL_SSH_CONFIG=/cfg\n"
                              "MOD_VASTREL_CONNECT_TIMEOUT=14\nMOD_VASTREL_STALL_TIMEOUT=15\n");
  settings::ModuleSettings s;
  settings::load_settings(s, path.c_str());
  EXPECT_EQ(s.enabled, 1u);
  EXPECT_STREQ(s.scan_folder, "/scan");
  EXPECT_EQ(s.download, 2u);
  EXPECT_STREQ(s.download_url, "ftp://d/");
  EXPECT_STREQ(s.download_user, "du");
  EXPECT_STREQ(s.download_passwd, "dp");
  EXPECT_STREQ(s.remote_url, "ftp://r/");
  EXPECT_STREQ(s.username, "u");
  EXPECT_STREQ(s.password, "p");
  EXPECT_EQ(s.check_ftp, 3u);
  EXPECT_EQ(s.remove_older, 4u);
  EXPECT_EQ(s.time_unit, 5u);
  EXPECT_EQ(s.time_count, 6u);
  EXPECT_EQ(s.uint_type, 7u);
  EXPECT_EQ(s.uhours, 8u);
  EXPECT_EQ(s.uday, 9u);
  EXPECT_EQ(s.ruploaded, 10u);
  EXPECT_EQ(s.rint_type, 11u);
  EXPECT_EQ(s.rhours, 12u);
  EXPECT_EQ(s.rday, 13u);
  EXPECT_STREQ(s.ssh_config, "/cfg");
  EXPECT_EQ(s.connect_timeout, 14u);
  EXPECT_EQ(s.stall_timeout, 15u);
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
