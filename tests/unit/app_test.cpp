#include "app/app.h"

#include <gtest/gtest.h>

#include "util/findings.h"

namespace {

using app::Operation;

app::Operation op(const char* argv0) {
  char* argv[] = {const_cast<char*>(argv0), nullptr};
  return app::operation_for(1, argv);
}

TEST(Dispatch, ChoosesByTheLastPathComponent) {
  EXPECT_EQ(op("upload"), Operation::kUpload);
  EXPECT_EQ(op("/usr/sbin/upload"), Operation::kUpload);
  EXPECT_EQ(op("./remove"), Operation::kRemove);
  EXPECT_EQ(op("Upload"), Operation::kUnknown);
  EXPECT_EQ(op("upload.sh"), Operation::kUnknown);
  EXPECT_EQ(op("upload/"), Operation::kUnknown);
  EXPECT_EQ(op(""), Operation::kUnknown);
}

TEST(Dispatch, OnlyTheOwnNameWithTheSingleWordCheckIsCheck) {
  auto with = [](const char* argv0, const char* arg, int argc) {
    char* argv[] = {const_cast<char*>(argv0), const_cast<char*>(arg), nullptr};
    return app::operation_for(argc, argv);
  };
  EXPECT_EQ(with("/opt/vastrel/bin/vastrel", "check", 2), Operation::kCheck);
  EXPECT_EQ(with("vastrel", "--help", 2), Operation::kOwnName);
  EXPECT_EQ(with("vastrel", "check", 1), Operation::kOwnName);
  EXPECT_EQ(with("upload", "check", 2), Operation::kUpload);
  EXPECT_EQ(with("remove", "check", 2), Operation::kRemove);
}

TEST(Dispatch, NoArgumentsDispatchesNothing) {
  char* argv[] = {nullptr};
  EXPECT_EQ(app::operation_for(0, argv), Operation::kNone);
}

TEST(Findings, MaskOnlyThePasswordOfAUrl) {
  EXPECT_EQ(util::masked_url("ftp://u:p@ss@h/x"), "ftp://u:***@h/x");  // the last "@" ends it
  EXPECT_EQ(util::masked_url("u:pw@h"), "u:***@h");
  EXPECT_EQ(util::masked_url("ftp://u@h/a:b@c"), "ftp://u@h/a:b@c");  // "@" in the path
  EXPECT_EQ(util::masked_url("ftp://u:@h/"), "ftp://u:@h/");          // no password
  EXPECT_EQ(util::masked_url(""), "");
}

TEST(Findings, CheckShowsAControlCharacterOfAValueInOctalAndTheLogKeepsIt) {
  util::Findings findings(true);
  findings.refuse("%s %s %s %d\n", "a\nb\x1b[1m\\\xc3\xa9", std::string("t\tu\x7f"),
                  util::Url{"ftp://u:p\tw@h/\r"}, 7);
  const util::Findings::Finding& finding = findings.items().at(0);
  EXPECT_EQ(finding.shown, "a\\012b\\033[1m\\\xc3\xa9 t\\011u\\177 ftp://u:***@h/\\015 7\n");
  EXPECT_EQ(finding.logged, "a\nb\x1b[1m\\\xc3\xa9 t\tu\x7f ftp://u:p\tw@h/\r 7\n");
}

}  // namespace
