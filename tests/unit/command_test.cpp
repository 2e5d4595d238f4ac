#include "util/command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "test_files.h"

namespace {

util::ChildResult sh(const std::string& line) {
  return util::run_command("/bin/sh", "-c", line.c_str(), nullptr);
}

TEST(RunCommand, SaysHowTheChildEnded) {
  EXPECT_TRUE(sh("exit 0").ok());
  util::ChildResult result = sh("exit 19");
  EXPECT_TRUE(result.exited(19));
  EXPECT_EQ(result.code(), 19);
  EXPECT_FALSE(result.ok());
  EXPECT_TRUE(result.started());
  result = sh("kill -TERM $$");
  EXPECT_EQ(result.signal(), SIGTERM);
  EXPECT_EQ(result.code(), -1);
  EXPECT_TRUE(result.started());
}

// Not started with the cause, by spawn and by fork alike; exit code 127
// where only the spawned child sees the failure (user-mode emulation runs
// the spawn as a plain fork).
void expect_not_started(util::ChildResult result, int error) {
  if (result.exited(127)) return;
  EXPECT_FALSE(result.started());
  EXPECT_EQ(result.error(), error);
  EXPECT_EQ(result.code(), -1);
}

TEST(RunCommand, AChildThatCannotStartSaysWhy) {
  expect_not_started(util::run_command("/nonexistent/program", nullptr), ENOENT);
  // A folder to start in that is not one fails the start as a failed exec does.
  TempDir dir;
  int file = open(dir.file("plain", "x").c_str(), O_RDONLY | O_CLOEXEC);
  util::ChildSpec spec;
  spec.cwd_fd = file;
  spec.shell("exit 0");
  expect_not_started(util::run_child(spec), ENOTDIR);
  close(file);
  // A bare name is searched on PATH.
  EXPECT_TRUE(util::run_command("true", nullptr).ok());
}

TEST(RunCommand, ChildStreamsAreDevNull) {
  TempDir dir;
  std::string out = dir.path + "/out";
  // Streams of the child itself are /dev/null: input is empty and the
  // inherited descriptors 0-2 all name /dev/null.
  EXPECT_TRUE(
      sh("a=$(cat; readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); echo \"$a\" > " + out)
          .ok());
  EXPECT_EQ(read_file(out), "/dev/null\n/dev/null\n/dev/null\n");
}

TEST(RunCommand, ClosesEveryInheritedDescriptorAbove2) {
  TempDir dir;
  int held = open(dir.file("held", "x").c_str(), O_RDONLY);  // not close-on-exec
  int high = fcntl(held, F_DUPFD, 900);
  ASSERT_GE(high, 900);
  std::string probe = "test -e /proc/$$/fd/" + std::to_string(held) + " || test -e /proc/$$/fd/" +
                      std::to_string(high) + " || exit 7";
  EXPECT_TRUE(sh(probe).exited(7));
  close(held);
  close(high);
}

TEST(RunCommand, WorksWhenTheParentHasNoStandardStreams) {
  TempDir dir;
  std::string out = dir.path + "/out";
  int saved = dup(0);
  close(0);  // /dev/null opened in the child now lands on descriptor 0
  util::ChildResult result = sh("readlink /proc/$$/fd/0 > " + out);
  dup2(saved, 0);
  close(saved);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(read_file(out), "/dev/null\n");
}

TEST(RunCommand, TheSpecsSlotsStdinAndEnvironmentReachItsChildOnly) {
  TempDir dir;
  std::string path = dir.path + "/slot";
  std::string line =
      "cat; echo \"$VASTREL_UNIT_SECRET\"; [ \"$(cut -d' ' -f5 /proc/$$/stat)\" -eq $$ ]";
  {
    util::ChildSpec spec;
    spec.set_stream(1, util::Descriptor(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)));
    spec.inherit_stream(2);
    EXPECT_EQ(spec.stream(2), util::ChildSpec::Stream::kInherited);
    ASSERT_TRUE(spec.feed_stdin("fed text\n"));
    EXPECT_EQ(spec.stream(0), util::ChildSpec::Stream::kInstalled);
    spec.env_extra = "VASTREL_UNIT_SECRET=s3cret";
    spec.shell(line.c_str());
    // The child leads its own process group, and sees the fed text and the entry.
    EXPECT_TRUE(util::run_child(spec).ok());
    for (int k = 0; k < 3; ++k) {  // closed once started
      EXPECT_EQ(spec.stream(k), util::ChildSpec::Stream::kDevNull);
      EXPECT_EQ(spec.stream_fd(k), -1);
    }
    EXPECT_FALSE(spec.feed_stdin(std::string(8192, 'x').c_str()));  // could block the pipe
  }
  EXPECT_TRUE(sh("cat; echo \"second $VASTREL_UNIT_SECRET\"").ok());
  EXPECT_EQ(read_file(path), "fed text\ns3cret\n");
}

TEST(RunCommand, InheritedDescriptorsArriveInOrderFrom3) {
  TempDir dir;
  if (fcntl(3, F_GETFD) != -1 || fcntl(5, F_GETFD) != -1) GTEST_SKIP() << "3 or 5 is in use";
  // On its own place (3 and 5), and past it: each must arrive, in order.
  auto opened_at = [&dir](const char* name, const char* text, int place) {
    int fd = open(dir.file(name, text).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == place) return fd;
    int moved = dup3(fd, place, O_CLOEXEC);
    close(fd);
    return moved;
  };
  int on3 = opened_at("a", "alpha", 3);
  int b = opened_at("b", "beta", 700);
  int on5 = opened_at("c", "gamma", 5);
  ASSERT_EQ(on3, 3);
  ASSERT_EQ(on5, 5);
  std::string out = dir.path + "/out";
  std::string line = "cat /proc/self/fd/3 /proc/self/fd/4 /proc/self/fd/5 > " + out;
  util::ChildSpec spec;
  spec.inherited = {on3, b, on5};
  spec.shell(line.c_str());
  EXPECT_TRUE(util::run_child(spec).ok());
  EXPECT_EQ(read_file(out), "alphabetagamma");
  for (int fd : {on3, b, on5}) close(fd);
}

bool gone_or_zombie(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  return stat.empty() || stat.find(") Z") != std::string::npos;
}

TEST(RunCommand, TheChildOfAKilledRunIsStoppedByTheNextRunOnly) {
  TempDir dir;
  std::string lock = dir.path + "/lock";
  int record = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
  pid_t run = fork();
  if (run == 0) {
    util::ChildSpec spec;
    spec.record_fd = record;
    std::string line = "echo $$ > " + dir.path + "/shell.tmp; mv " + dir.path + "/shell.tmp " +
                       dir.path + "/shell; sleep 60";
    spec.shell(line.c_str());
    util::run_child(spec);
    _exit(0);
  }
  for (int i = 0; i < 500 && (read_file(dir.path + "/shell").empty() || read_file(lock).empty());
       ++i) {
    usleep(10000);
  }
  kill(run, SIGKILL);
  waitpid(run, nullptr, 0);
  pid_t shell = std::stoi(read_file(dir.path + "/shell"));
  std::string text = read_file(lock);
  // A start time that does not match names a later process with that number.
  std::string other =
      std::to_string(shell) + " 1" + text.substr(text.find(' ', text.find(' ') + 1));
  ASSERT_EQ(pwrite(record, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
  EXPECT_EQ(util::stop_recorded_children(record), 0);
  EXPECT_FALSE(gone_or_zombie(shell));
  ASSERT_EQ(pwrite(record, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  EXPECT_EQ(util::stop_recorded_children(record), shell);
  for (int i = 0; i < 200 && !gone_or_zombie(shell); ++i) usleep(10000);
  EXPECT_TRUE(gone_or_zombie(shell));
  EXPECT_EQ(read_file(lock), "");
  close(record);
}

TEST(RunCommand, PassesAtMost62Arguments) {
  TempDir dir;
  std::string out = dir.path + "/argc";
  std::string script = "echo $# > " + out;
  std::vector<std::string> numbers;
  for (int i = 0; i < 70; ++i) numbers.push_back(std::to_string(i));
  std::vector<const char*> a;
  for (const auto& n : numbers) a.push_back(n.c_str());
    // sh -c SCRIPT NAME ARGS...: 62 arguments are -c, the script, $0 and 59 more.
#define A10(i) \
  a[i], a[i + 1], a[i + 2], a[i + 3], a[i + 4], a[i + 5], a[i + 6], a[i + 7], a[i + 8], a[i + 9]
  util::run_command("/bin/sh", "-c", script.c_str(), A10(0), A10(10), A10(20), A10(30), A10(40),
                    A10(50), A10(60), nullptr);
#undef A10
  EXPECT_EQ(read_file(out), "59\n");
}

}  // namespace
