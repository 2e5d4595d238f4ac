#include "util/filestat.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_files.h"
#include "util/scandir.h"
#include "util/scratch.h"

namespace {

struct ErrorCase {
  std::string content;
  std::string line;
  std::string text;
};

class ErrorReaders : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorReaders, ReadFirstLineAndJoinedText) {
  TempDir dir;
  std::string path = dir.file("err", GetParam().content);
  EXPECT_EQ(util::read_error_line(path.c_str()), GetParam().line);
  EXPECT_EQ(util::read_error_text(path.c_str()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Texts, ErrorReaders,
                         ::testing::Values(ErrorCase{"A\nB\n", "A", "A; B; "},
                                           ErrorCase{"A\r\nB", "A", "A; B; "},
                                           ErrorCase{"", "", ""}, ErrorCase{"\n", "\n", "\n; "},
                                           ErrorCase{"\r\nA\n", "\r\n", "\r\n; A; "},
                                           ErrorCase{std::string(70, 'x') + "\n",
                                                     std::string(63, 'x'),
                                                     std::string(70, 'x') + "; "}));

TEST(ErrorReaders, MissingFileReadsEmpty) {
  EXPECT_STREQ(util::read_error_line("/nonexistent/err"), "");
  EXPECT_STREQ(util::read_error_text("/nonexistent/err"), "");
}

TEST(ErrorReaders, JoinedTextStaysInsideItsBuffer) {
  TempDir dir;
  std::string one_line = dir.file("one", std::string(3000, 'a'));
  std::string text = util::read_error_text(one_line.c_str());
  EXPECT_EQ(text.size(), 2047u);
  EXPECT_EQ(text.substr(2045), "; ");

  // Many short lines: the line that no longer fits is taken in part, then
  // reading ends.
  std::string many;
  for (int i = 0; i < 300; ++i) many += "line" + std::to_string(i) + "\n";
  std::string many_path = dir.file("many", many);
  text = util::read_error_text(many_path.c_str());
  EXPECT_LE(text.size(), 2047u);
  EXPECT_GE(text.size(), 2040u);
  EXPECT_EQ(text.substr(0, 14), "line0; line1; ");
  EXPECT_EQ(text.substr(text.size() - 2), "; ");
}

TEST(FileStatus, MissingPathReadsAsZero) {
  EXPECT_EQ(util::file_mtime("/nonexistent/x"), 0);
  EXPECT_EQ(util::file_size("/nonexistent/x"), 0);
}

TEST(FileStatus, StampSetsBothTimesAndReportsNothingOnFailure) {
  TempDir dir;
  std::string path = dir.file("f", "12345");
  EXPECT_EQ(util::file_size(path.c_str()), 5);
  int fd = open(path.c_str(), O_RDONLY);  // read-only is enough to stamp through
  util::stamp_file_times(fd, path.c_str(), 1234567890);
  close(fd);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1234567890);
  EXPECT_EQ(st.st_atime, 1234567890);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
  EXPECT_EQ(util::file_mtime(path.c_str()), 1234567890);
  util::stamp_file_times(-1, "/nonexistent/x", 5);  // logs, does not crash
}

TEST(FileStatus, JoinPathRefusesWhatWouldBeCut) {
  char out[16];
  EXPECT_TRUE(util::join_path(out, sizeof out, "/scan", "123456789"));
  EXPECT_STREQ(out, "/scan/123456789");
  EXPECT_FALSE(util::join_path(out, sizeof out, "/scan", "1234567890"));
}

}  // namespace
