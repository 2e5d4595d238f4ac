#include "util/filestat.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "test_files.h"
#include "util/scandir.h"
#include "util/scratch.h"
#include "util/trusted.h"

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

// The walk: what it opens, what it refuses and whom it names. /tmp is
// others' (mode 1777) for every user; the ownership cases need root, and
// a tree outside /tmp whose way only root can change (/run).
TEST(FileStatus, TrustedWalkFollowsOnlyRootsLinks) {
  auto walk = [](const std::string& path, int flags, util::TrustedPath& out) {
    return util::open_trusted(path.c_str(), flags, out);
  };
  util::TrustedPath out;
  TempDir tmp;
  ASSERT_EQ(mkdir((tmp.path + "/real").c_str(), 0755), 0);
  ASSERT_EQ(symlink((tmp.path + "/real").c_str(), (tmp.path + "/link").c_str()), 0);
  EXPECT_TRUE(walk(tmp.path + "//real/.", O_RDONLY | O_DIRECTORY, out));
  EXPECT_TRUE(S_ISDIR(out.st.st_mode));
  EXPECT_FALSE(walk(tmp.path + "/link", O_RDONLY | O_DIRECTORY, out));
  EXPECT_TRUE(out.refused);
  EXPECT_STREQ(out.through, "/tmp");
  EXPECT_EQ(out.uid, 0u);
  EXPECT_FALSE(walk(tmp.path + "/real/../real", O_RDONLY, out));  // /tmp's owner could move it
  EXPECT_TRUE(out.refused);
  EXPECT_FALSE(walk(tmp.path + "/missing", O_RDONLY, out));
  EXPECT_EQ(out.error, ENOENT);
  EXPECT_FALSE(out.refused);
  EXPECT_FALSE(walk("relative", O_RDONLY, out));
  EXPECT_EQ(out.error, EINVAL);
  if (geteuid() != 0) GTEST_SKIP() << "the ownership cases need root";

  char base_name[] = "/run/vastrel-unit-XXXXXX";
  ASSERT_NE(mkdtemp(base_name), nullptr);
  std::string base = base_name;
  ASSERT_EQ(chmod(base.c_str(), 0755), 0);
  auto dir = [&](const std::string& name, mode_t mode, uid_t uid) {
    std::string path = base + "/" + name;
    ASSERT_EQ(mkdir(path.c_str(), mode), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    ASSERT_EQ(chown(path.c_str(), uid, 0), 0);
  };
  auto link = [&](const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(target.c_str(), (base + "/" + name).c_str()), 0);
  };
  dir("real", 0755, 0);
  dir("real/scan", 0777, 0);
  dir("user", 0755, 65534);
  dir("user/plain", 0755, 0);
  dir("group", 0775, 0);
  link("real", "rel");  // a /var-style link of root's
  link("../" + base.substr(strlen("/run/")) + "/real", "up");  // the same through ".."
  link(base + "/real", "abs");
  link(base + "/real", "user/child");       // the owner swapped a folder for it
  link(base + "/real", "user/plain/deep");  // root's link after the user's folder
  link(base + "/real", "group/child");
  link("loop2", "loop1");
  link("loop1", "loop2");
  EXPECT_TRUE(walk(base + "/rel/scan", O_RDONLY | O_DIRECTORY, out));
  EXPECT_TRUE(walk(base + "/abs/scan", O_RDONLY | O_DIRECTORY, out));
  EXPECT_TRUE(walk(base + "/up", O_RDONLY | O_DIRECTORY, out));
  struct stat real;
  ASSERT_EQ(stat((base + "/real").c_str(), &real), 0);
  EXPECT_EQ(out.st.st_ino, real.st_ino);
  EXPECT_TRUE(walk(base + "/user/plain", O_RDONLY | O_DIRECTORY, out));  // no link: fine
  struct Refused {
    const char* path;
    const char* through;
    unsigned uid;
  } refused[] = {{"/user/child/scan", "/user", 65534},
                 {"/user/plain/deep", "/user", 65534},
                 {"/user/plain/../../real", "/user", 65534},  // the owner could move plain
                 {"/group/child", "/group", 0}};
  for (const Refused& r : refused) {
    EXPECT_FALSE(walk(base + r.path, O_RDONLY | O_DIRECTORY, out)) << r.path;
    EXPECT_TRUE(out.refused) << r.path;
    EXPECT_EQ(out.through, base + r.through) << r.path;
    EXPECT_EQ(out.uid, r.uid) << r.path;
  }
  EXPECT_FALSE(walk(base + "/loop1", O_RDONLY, out));
  EXPECT_EQ(out.error, ELOOP);
  std::string cleanup = "rm -rf '" + base + "'";
  EXPECT_EQ(system(cleanup.c_str()), 0);
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
