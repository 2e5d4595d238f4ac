#include "util/cmdline.h"

#include <gtest/gtest.h>

#include <cstdio>
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

TEST_P(Quoting, CredentialLineReachesCurlEscaped) {
  const char* value = GetParam();
  if (std::string(value).find('\n') != std::string::npos) return;  // settings cannot hold one
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  util::cmd_credentials(line, value, value);
  util::cmd_raw(line, "cat");
  std::string escaped;
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') escaped += '\\';
    escaped += *p;
  }
  EXPECT_EQ(shell_output(line.text), "user=\"" + escaped + ":" + escaped + "\"\n");
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
  ASSERT_TRUE(upload::build_put_command(line, "/scan/a.txt", "ftp://h:21/up/", "user", "pw"));
  EXPECT_STREQ(line.text,
               "echo \"user=\\\"user:pw\\\"\" | curl -fSs -K - ftp://h:21/up/ -T /scan/a.txt "
               "2>/var/vastrel/curl_error");
}

TEST(CommandLine, GlobsAndBackslashNamesChangeOnlyWhatTheyMust) {
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  ASSERT_TRUE(upload::build_put_command(line, "/scan/g[1]", "ftp://h/up/", "u", "p"));
  EXPECT_STREQ(line.text,
               "echo \"user=\\\"u:p\\\"\" | curl -fSs -g -K - ftp://h/up/ -T '/scan/g[1]' "
               "2>/var/vastrel/curl_error");
  line = util::command_line(buffer, sizeof buffer);
  ASSERT_TRUE(upload::build_put_command(line, "/scan/a\\b c", "ftp://h/up/", "u", "p"));
  EXPECT_STREQ(line.text,
               "echo \"user=\\\"u:p\\\"\" | curl -fSs -K - ftp://h/up/a%5Cb%20c -T '/scan/a\\b c' "
               "2>/var/vastrel/curl_error");
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
