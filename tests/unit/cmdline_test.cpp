#include "util/cmdline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "upload/sftp.h"
#include "upload/upload.h"

namespace {

// Runs a command line through /bin/sh and returns what it printed.
std::string shell_output(const std::string& line) {
  FILE* pipe = popen(line.c_str(), "r");
  std::string out;
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

const char* const kHostile[] = {"plain/path-1.txt",
                                "",
                                "a b",
                                "q'uote",
                                "''",
                                "d\"q",
                                "back\\slash",
                                "back\\n",
                                "semi;colon",
                                "$(id)",
                                "`id`",
                                "g[1-2]",
                                "{a,b}",
                                "-leading",
                                "h#ash",
                                "star*",
                                "amp&",
                                "new\nline",
                                "tab\tx",
                                "\xc3\xbc\xff",
                                "%41",
                                "\\\\'\"\\"};

class Quoting : public ::testing::TestWithParam<const char*> {};

TEST_P(Quoting, ValueComesBackExactlyFromTheShell) {
  const char* value = GetParam();
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(line, "printf '%s|' ");
  util::cmd_word(line, value);
  util::cmd_raw(line, "; ");
  util::cmd_echo(line, value);
  util::cmd_raw(line, "; printf 'x\\n' | sed -e 's#^#");
  bool sed_ok = util::cmd_sed_replacement(line, value);
  util::cmd_raw(line, "#'");
  std::string expected = std::string(value) + "|" + value + "\n";
  if (sed_ok) {
    ASSERT_FALSE(line.overflow);
    expected += std::string(value) + "x\n";
  } else {
    EXPECT_NE(std::string(value).find('\n'), std::string::npos);
    EXPECT_TRUE(line.overflow);
    return;
  }
  EXPECT_EQ(shell_output(line.text), expected);
}

// How curl reads a quoted config value: a backslash takes the next
// character, and \t \n \r \v stand for control characters.
std::string curl_unquoted(const std::string& quoted) {
  std::string out;
  for (size_t i = 0; i < quoted.size() && quoted[i] != '"'; ++i) {
    char c = quoted[i];
    if (c == '\\' && i + 1 < quoted.size()) {
      c = quoted[++i];
      const char* from = "tnrv";
      const char* to = "\t\n\r\v";
      if (const char* p = strchr(from, c)) c = to[p - from];
    }
    out += c;
  }
  return out;
}

TEST_P(Quoting, UserLineReachesCurlExactly) {
  const char* value = GetParam();
  if (std::string(value).find('\n') != std::string::npos) return;  // settings cannot hold one
  char buffer[util::kCommandSize];
  util::CommandLine config = util::command_line(buffer, sizeof buffer);
  util::curl_user_line(config, value, value);
  std::string text = config.text;
  if (*value == '\0') {
    EXPECT_EQ(text, "");  // no user: curl logs in anonymously, as without the line
    return;
  }
  ASSERT_EQ(text.compare(0, 6, "user=\""), 0);
  ASSERT_EQ(text.substr(text.size() - 2), "\"\n");
  EXPECT_EQ(curl_unquoted(text.substr(6)), std::string(value) + ":" + value);
}

TEST_P(Quoting, QueueLineReadsBackAsTheExactPath) {
  const char* value = GetParam();
  char buffer[256];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  ASSERT_TRUE(upload::format_sftp_put(line, value));
  std::string text = line.text;
  ASSERT_EQ(text.back(), '\n');
  text.pop_back();
  const char* back = upload::parse_sftp_put(text.c_str());
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back, value);
}

INSTANTIATE_TEST_SUITE_P(Values, Quoting, ::testing::ValuesIn(kHostile));

TEST(CommandLine, OrdinaryValuesKeepTheTemplateByteForByte) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  ASSERT_TRUE(upload::build_put_command(line, "/scan/a.txt", "ftp://h:21/up/"));
  EXPECT_STREQ(line.text, "curl -fSs -K - ftp://h:21/up/ -T /scan/a.txt 2>/var/vastrel/curl_error");
}

TEST(CommandLine, GlobsAndBackslashNamesChangeOnlyWhatTheyMust) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  ASSERT_TRUE(upload::build_put_command(line, "/scan/g[1]", "ftp://h/up/"));
  EXPECT_STREQ(line.text,
               "curl -fSs -g -K - ftp://h/up/ -T '/scan/g[1]' 2>/var/vastrel/curl_error");
  line = util::command_line(buffer, sizeof buffer);
  ASSERT_TRUE(upload::build_put_command(line, "/scan/a\\b c", "ftp://h/up/"));
  EXPECT_STREQ(line.text,
               "curl -fSs -K - ftp://h/up/a%5Cb%20c -T '/scan/a\\b c' 2>/var/vastrel/curl_error");
}

TEST(CommandLine, OverflowIsReportedNotCut) {
  char buffer[8];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_raw(line, "1234567");
  EXPECT_FALSE(line.overflow);
  util::cmd_raw(line, "8");
  EXPECT_TRUE(line.overflow);
  char queue[256];
  util::CommandLine put = util::command_line(queue, sizeof queue);
  EXPECT_TRUE(upload::format_sftp_put(put, std::string(250, 'a').c_str()));  // 255 with "put \n"
  put = util::command_line(queue, sizeof queue);
  EXPECT_FALSE(upload::format_sftp_put(put, std::string(251, 'a').c_str()));
}

TEST(QueueLine, ForeignLinesAreNotReadAsPaths) {
  EXPECT_EQ(upload::parse_sftp_put("get x"), nullptr);
  EXPECT_EQ(upload::parse_sftp_put("put \"unterminated"), nullptr);
  EXPECT_EQ(upload::parse_sftp_put("put \"a\"trailing"), nullptr);
  EXPECT_STREQ(upload::parse_sftp_put("put a b"), "a b");
  // Longer than any line the writer makes: refused, never written past the buffer.
  std::string long_quoted = "put \"" + std::string(300, 'x') + "\"";
  EXPECT_EQ(upload::parse_sftp_put(long_quoted.c_str()), nullptr);
}

}  // namespace
