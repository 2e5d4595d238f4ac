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

// Folder (owner, group, mode) against file (owner, group, mode); the
// folder's owner 1000 is in groups 100 and 200.
TEST(FileStatus, ReadableByEveryWriterOfTheFolder) {
  struct Case {
    uid_t dir_uid;
    mode_t dir_mode;
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool sent;
  };
  const Case cases[] = {
      {0, 0755, 0, 0, 0600, true},          // only root writes: as before
      {0, 0775, 0, 0, 0600, false},         // its group (50) writes
      {0, 0775, 0, 50, 0640, true},         //   and reads by group
      {0, 0777, 0, 50, 0640, false},        // anyone writes
      {0, 0777, 0, 50, 0644, true},         //   and anyone reads
      {0, 0777, 0, 50, 0604, false},        //   but not its group
      {1000, 0755, 0, 0, 0600, false},      // a hard link to root's own file
      {1000, 0755, 0, 0, 0644, true},       //   readable by anyone
      {1000, 0755, 1000, 0, 0400, true},    // the owner's own
      {1000, 0755, 1000, 0, 0044, false},   //   which it has made unreadable to itself
      {1000, 0755, 0, 200, 0640, true},     // a supplementary group of the owner's
      {1000, 0755, 0, 300, 0640, false},    //   not one of its groups
      {1000, 0555, 0, 0, 0600, true},       // its owner cannot write it
  };
  for (const Case& c : cases) {
    util::FolderWriters writers;
    writers.folder.st_uid = c.dir_uid;
    writers.folder.st_gid = 50;
    writers.folder.st_mode = S_IFDIR | c.dir_mode;
    writers.owner_groups[0] = 100;
    writers.owner_groups[1] = 200;
    writers.owner_group_count = 2;
    struct stat file {};
    file.st_uid = c.uid;
    file.st_gid = c.gid;
    file.st_mode = S_IFREG | c.mode;
    EXPECT_EQ(util::readable_by_writers(writers, file), c.sent)
        << "folder " << c.dir_uid << " " << std::oct << c.dir_mode << ", file " << std::dec
        << c.uid << ":" << c.gid << " " << std::oct << c.mode;
  }
}

}  // namespace
