#include "util/cmdline.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sftp_words.h"
#include "upload/curl_batch.h"
#include "upload/curl_file.h"
#include "upload/listing.h"
#include "upload/sftp.h"
#include "upload/target.h"
#include "util/command.h"
#include "util/curl.h"

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
                                "-n",
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

// The client reads each queue line's words back as the exact names, with a
// suffix too: the put of the link named NAME+SUFFIX (the client names the
// upload after it) and the rename of that to ./NAME.
TEST_P(Quoting, QueueLinesReadBackAsTheExactNames) {
  std::string path = std::string("/scan/") + GetParam();
  // A name, not a path; names with a control character are never queued.
  if (strchr(GetParam(), '/') != nullptr || util::has_control(GetParam())) return;
  const std::string source = std::string(upload::kSftpFiles) + "/" + GetParam();
  const std::string remote = std::string("./") + GetParam();
  char buffer[512];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  ASSERT_TRUE(upload::format_sftp_put(line, path.c_str()));
  std::vector<std::string> words;
  ASSERT_TRUE(sftp_words(std::string(line.text, line.length - 1), words));
  EXPECT_EQ(words, (std::vector<std::string>{"put", source}));
  line = util::command_line(buffer, sizeof buffer);
  ASSERT_TRUE(upload::format_sftp_put(line, path.c_str(), ".part"));
  std::string text = line.text;
  size_t end = text.find('\n');
  ASSERT_EQ(text.back(), '\n');
  ASSERT_TRUE(sftp_words(text.substr(0, end), words));
  EXPECT_EQ(words, (std::vector<std::string>{"put", source + ".part"}));
  ASSERT_TRUE(sftp_words(text.substr(end + 1, text.size() - end - 2), words));
  EXPECT_EQ(words, (std::vector<std::string>{"rename", remote + ".part", remote}));
}

INSTANTIATE_TEST_SUITE_P(Values, Quoting, ::testing::ValuesIn(kHostile));

constexpr const char* kSource = "/proc/self/fd/3";

// The per-file curl line for one file, placed as a run places it (dated
// 2026-12-10 07:59:59 UTC), or "(refused)" when it cannot be built.
std::string put_line(const char* path, const char* url, const char* suffix,
                     const char* device = "") {
  settings::ModuleSettings s;
  s.remote_url = url;
  s.partial_suffix = suffix;
  s.device = device;
  settings::Session session(s, true);
  upload::Target target;
  if (upload::place_file(session, upload::name_of(path), 1796889599, target) !=
      upload::Placing::kPlaced) {
    return "(refused)";
  }
  char buffer[util::kCommandSize];
  util::CommandLine line = util::command_line(buffer, sizeof buffer);
  if (!upload::build_put_command(line, kSource, target.place(), suffix, false,
                                 upload::makes_folders(url))) {
    return "(refused)";
  }
  return line.text;
}

// Fields take the file's values, percent-encoded; only a URL whose folders
// hold one has curl make folders; other braces stay as written.
TEST(CommandLine, FieldsTakeTheFilesValuesInTheUrl) {
  EXPECT_EQ(put_line("/scan/a b", "ftp://h/up/{device}/{Y}/{m}/{d}/{H}/", "", "cam 7"),
            "curl -fSs --ftp-create-dirs -K - ftp://h/up/cam%207/2026/12/10/07/a%20b "
            "-T /proc/self/fd/3 2>/var/vastrel/curl_error");
  EXPECT_EQ(put_line("/scan/x", "ftp://h/up/{device}-{name}", ".p", "c"),
            "curl -fSs -K - ftp://h/up/c-x.p -T /proc/self/fd/3 -Q '-RNFR c-x.p' -Q '-RNTO c-x' "
            "2>/var/vastrel/curl_error");
  EXPECT_EQ(put_line("/scan/x", "https://h/{Y}{dev}/", "", "c"),
            "curl -fSs -g -K - 'https://h/2026{dev}/x' -T /proc/self/fd/3 "
            "2>/var/vastrel/curl_error");
}

TEST(CommandLine, OrdinaryValuesKeepTheTemplateByteForByte) {
  EXPECT_EQ(put_line("/scan/a.txt", "ftp://h:21/up/", ""),
            "curl -fSs -K - ftp://h:21/up/a.txt -T /proc/self/fd/3 2>/var/vastrel/curl_error");
  // A URL without a folder names the one file every upload goes to.
  EXPECT_EQ(put_line("/scan/a.txt", "ftp://h/dir", ""),
            "curl -fSs -K - ftp://h/dir -T /proc/self/fd/3 2>/var/vastrel/curl_error");
}

TEST(CommandLine, NamesGoInTheUrlEncodedAndOnlyAGlobbingUrlTurnsGlobsOff) {
  EXPECT_EQ(put_line("/scan/g[1]", "ftp://h/up/", ""),
            "curl -fSs -K - ftp://h/up/g%5B1%5D -T /proc/self/fd/3 2>/var/vastrel/curl_error");
  EXPECT_EQ(put_line("/scan/a\\b c", "ftp://h/[up]/", ""),
            "curl -fSs -g -K - 'ftp://h/[up]/a%5Cb%20c' -T /proc/self/fd/3 "
            "2>/var/vastrel/curl_error");
}

TEST(CommandLine, TheSuffixNamesTheTemporaryFileAndTheRenameAfterIt) {
  EXPECT_EQ(put_line("/scan/a b", "ftp://h/up/", ".part"),
            "curl -fSs -K - ftp://h/up/a%20b.part -T /proc/self/fd/3 -Q '-RNFR a b.part' "
            "-Q '-RNTO a b' 2>/var/vastrel/curl_error");
  // One remote name for every file: the URL's own, decoded for the rename.
  EXPECT_EQ(put_line("/scan/x", "ftp://h/up/all%20in", ".p"),
            "curl -fSs -K - ftp://h/up/all%20in.p -T /proc/self/fd/3 -Q '-RNFR all in.p' "
            "-Q '-RNTO all in' 2>/var/vastrel/curl_error");
  EXPECT_EQ(put_line("/scan/x", "ftp://h:21", ".p"),
            "curl -fSs -K - ftp://h:21/x.p -T /proc/self/fd/3 -Q '-RNFR x.p' -Q '-RNTO x' "
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
  // 255 with "put /var/vastrel/sftp_files/" and the line feed.
  EXPECT_TRUE(upload::format_sftp_put(put, ("/s/" + std::string(226, 'a')).c_str()));
  put = util::command_line(queue, sizeof queue);
  EXPECT_FALSE(upload::format_sftp_put(put, ("/s/" + std::string(227, 'a')).c_str()));
}

TEST(SftpUrl, SplitsAtTheLimitAndGivesTheFolderItsSlash) {
  char host[upload::kSftpPartSize];
  char folder[upload::kSftpPartSize + 1];
  std::string longest = "h/" + std::string(upload::kSftpPartSize - 3, 'f');
  ASSERT_EQ(upload::split_sftp_url(("sftp://" + longest).c_str(), host, folder),
            upload::SftpUrl::kOk);
  EXPECT_STREQ(host, "h");
  EXPECT_EQ(folder, longest.substr(1) + "/");  // the slash has room even then
  EXPECT_EQ(upload::split_sftp_url(("sftp://" + longest + "f").c_str(), host, folder),
            upload::SftpUrl::kTooLong);
  EXPECT_EQ(upload::split_sftp_url("xsftp:/h/up", host, folder), upload::SftpUrl::kNoScheme);
  ASSERT_EQ(upload::split_sftp_url("sftp://u:p@ss@h", host, folder), upload::SftpUrl::kOk);
  EXPECT_STREQ(host, "u:p@ss@h");
  EXPECT_STREQ(folder, "");  // the login folder
}

TEST(CurlOutcome, ExitCodesThatEndAPassAndTheBatchOutcomeLines) {
  EXPECT_TRUE(util::curl_server_unusable(util::ChildResult::exited_with(7)));
  EXPECT_TRUE(util::curl_server_unusable(util::ChildResult::exited_with(28)));
  EXPECT_FALSE(util::curl_server_unusable(util::ChildResult::exited_with(55)));  // one file's link
  // Killed by signal 7, not curl's code 7; no child at all.
  EXPECT_FALSE(util::curl_server_unusable(util::ChildResult::killed_by(7)));
  EXPECT_FALSE(util::curl_server_unusable(util::ChildResult::not_started(ENOENT)));

  char text[] = "0 \n7\n28 Timeout was reached\nx 1\n";
  FILE* results = fmemopen(text, strlen(text), "r");
  ASSERT_NE(results, nullptr);
  int code = -1;
  char message[512];
  ASSERT_TRUE(upload::next_outcome(results, code, message));
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(upload::next_outcome(results, code, message));  // a failure without text
  EXPECT_EQ(code, 7);
  EXPECT_STREQ(message, "curl: (7) ");
  ASSERT_TRUE(upload::next_outcome(results, code, message));
  EXPECT_STREQ(message, "curl: (28) Timeout was reached");
  EXPECT_FALSE(upload::next_outcome(results, code, message));  // not an outcome line
  EXPECT_FALSE(upload::next_outcome(results, code, message));  // the end
  fclose(results);
  EXPECT_FALSE(upload::next_outcome(nullptr, code, message));  // no results file
}

TEST(Listing, SizesOfTheNamesAskedInEveryFormServersPrint) {
  char text[] =
      "-rw-r--r--   1 ftp  ftp        4096 Dec 10 06:12 a b\r\n"
      "-rw-r--r--   1 owner        17 Jan  2  2024  lead\n"  // no group, a year
      "12-10-26  06:12AM                  123 dos name\n"
      "drwxr-xr-x   2 0 0            4096 Dec 10 06:12 folder\n"
      "12-10-26  06:12AM       <DIR>          dosfolder\n"
      "-rw-r--r--   1 0 0               5 Dec 10 06:12 twice\n"
      "-rw-r--r--   1 0 0               6 Dec 10 06:12 twice\n"
      "-rw-r--r--   1 0 0 99999999999999999999 Dec 10 06:12 huge\n"
      "total 12\n";
  FILE* file = fmemopen(text, strlen(text), "r");
  ASSERT_NE(file, nullptr);
  std::vector<std::string> names = {"a b",       " lead", "dos name", "folder",
                                    "dosfolder", "twice", "huge",     "missing"};
  std::vector<int64_t> sizes = upload::listed_sizes(file, nullptr, "", names);
  fclose(file);
  EXPECT_EQ(sizes, (std::vector<int64_t>{4096, 17, 123, -1, -1, -1, -1, -1}));

  // A client's transcript: the listing after its echo, up to the next one.
  char transcript[] =
      "sftp> put x\n"
      "-rw-r--r--    ? 0 0   1 Dec 10 06:12 ./x\n"
      "sftp> -ls -lnaf ./\n"
      "-rw-r--r--    ? 0 0   2 Dec 10 06:12 ./x\n"
      "sftp> ls\n"
      "-rw-r--r--    ? 0 0   3 Dec 10 06:12 ./y\n";
  file = fmemopen(transcript, strlen(transcript), "r");
  ASSERT_NE(file, nullptr);
  sizes = upload::listed_sizes(file, "sftp> -ls -lnaf ./", "./", {"x", "y"});
  fclose(file);
  EXPECT_EQ(sizes, (std::vector<int64_t>{2, -1}));
}

}  // namespace
