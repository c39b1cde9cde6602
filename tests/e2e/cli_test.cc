// The command line, the messages and the repair as a user sees them.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "tool_runner.h"

namespace e2e {
namespace {

using Names = std::vector<std::string>;

class Cli : public ::testing::Test {
 protected:
  Outcome run(std::vector<std::string> args) {
    Invocation r;
    r.args = std::move(args);
    r.directory = dir.path();
    return run_tool(r);
  }
  // The tool ends normally with status 0 and prints exactly `text`.
  void expect_message(const Outcome& outcome, const std::string& text) {
    EXPECT_FALSE(outcome.timed_out);
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.out, as_printed(text));
  }
  void expect_repaired(const std::string& name, const std::string& old) {
    EXPECT_EQ(read_file(dir / name), rotated(old, 2)) << name;
    EXPECT_EQ(read_file(dir / (name + ".bak")), old) << name;
  }
  TempDir dir;
};

TEST_F(Cli, WithoutExactlyOneArgumentPrintsTheBannerAndTouchesNothing) {
  write_file(dir / "data.arc", "ABC");
  expect_message(run({}), kUsage);
  expect_message(run({"data.arc", "data.arc"}), kUsage);
  expect_message(run({"data", "with", "blanks"}), kUsage);
  EXPECT_EQ(dir.names(), Names{"data.arc"});
  EXPECT_EQ(read_file(dir / "data.arc"), "ABC");
}

TEST_F(Cli, BannerNamesTheProgramWhateverItIsCalled) {
  if (testing_windows_build()) GTEST_SKIP() << "the .exe keeps its name under Wine";
  const std::string alias = dir / "fixer";
  ASSERT_EQ(symlink(tool_command({}).back().c_str(), alias.c_str()), 0);
  Invocation r;
  r.program = alias;
  expect_message(run_tool(r), kUsage);
}

TEST_F(Cli, NamesThatDoNotOpenAreReportedAndNothingIsCreated) {
  expect_message(run({"missing.arc"}), kCannotOpen);
  expect_message(run({""}), kCannotOpen);
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
  expect_message(run({"folder"}), kCannotOpen);
  EXPECT_EQ(dir.names(), Names{"folder"});
}

TEST_F(Cli, MessagesReachARedirectedFileWhole) {
  TempDir out;
  Invocation r;
  r.args = {"missing.arc"};
  r.directory = dir.path();
  r.output_file = out / "messages.txt";
  expect_message(run_tool(r), kCannotOpen);
  r.args = {};
  r.output_file = out / "usage.txt";
  expect_message(run_tool(r), kUsage);
}

TEST_F(Cli, RepairRotatesByTwoKeepsTheBackupAndPrintsNothing) {
  write_file(dir / "data.arc", "\x41\x42\x43");
  expect_message(run({"data.arc"}), "");
  EXPECT_EQ(read_file(dir / "data.arc"), "\x43\x41\x42");
  EXPECT_EQ(read_file(dir / "data.arc.bak"), "\x41\x42\x43");
  EXPECT_EQ(dir.names(), (Names{"data.arc", "data.arc.bak"}));
}

TEST_F(Cli, ShortFilesAreBackedUpAndKeptAsTheyAre) {
  for (const std::string content : {"", "x", "xy"}) {
    const std::string name = "short" + std::to_string(content.size());
    write_file(dir / name, content);
    expect_message(run({name}), "");
    EXPECT_EQ(read_file(dir / name), content);
    EXPECT_EQ(read_file(dir / (name + ".bak")), content);
  }
  EXPECT_EQ(dir.names().size(), 6u);
}

TEST_F(Cli, LargeFilesAreRotatedExactly) {
  const std::string old = random_bytes((5u << 20) + 3, 7);
  write_file(dir / "big.arc", old);
  expect_message(run({"big.arc"}), "");
  expect_repaired("big.arc", old);
}

TEST_F(Cli, SecondRunKeepsTheFirstBackupAndRotatesByFour) {
  const std::string old = "0123456789";
  write_file(dir / "twice.arc", old);
  expect_message(run({"twice.arc"}), "");
  expect_message(run({"twice.arc"}), "");
  EXPECT_EQ(read_file(dir / "twice.arc"), "4567890123");
  EXPECT_EQ(read_file(dir / "twice.arc.bak"), old);
  EXPECT_EQ(dir.names(), (Names{"twice.arc", "twice.arc.bak"}));
}

TEST_F(Cli, BackupNameIsAppendedToTheWholeName) {
  write_file(dir / "x.bak", "abcd");
  expect_message(run({"x.bak"}), "");
  expect_repaired("x.bak", "abcd");
  write_file(dir / "name with blanks", "abcd");
  expect_message(run({"name with blanks"}), "");
  expect_repaired("name with blanks", "abcd");
}

TEST_F(Cli, BackupLandsBesideAFileInAnotherFolder) {
  TempDir other;
  write_file(other / "far.arc", "abcdef");
  expect_message(run({other / "far.arc"}), "");
  EXPECT_EQ(read_file(other / "far.arc"), "cdefab");
  EXPECT_EQ(read_file(other / "far.arc.bak"), "abcdef");
  EXPECT_EQ(dir.names(), Names{});
}

TEST_F(Cli, LongPathsNeedNoFixedStorage) {
  if (testing_windows_build()) GTEST_SKIP() << "the ANSI file API takes paths of MAX_PATH at most";
  std::string relative;
  for (int i = 0; i < 4; ++i) {
    relative += std::string(100, static_cast<char>('a' + i)) + "/";
    ASSERT_EQ(mkdir((dir / relative).c_str(), 0755), 0);
  }
  const std::string name = relative + "deep.arc";
  write_file(dir / name, "abcdef");
  expect_message(run({name}), "");
  expect_repaired(name, "abcdef");
}

TEST_F(Cli, ABackupNameTooLongToExistIsTreatedAsTaken) {
  const std::string name(252, 'n');  // with ".bak" one past the longest name
  write_file(dir / name, "abcdef");
  expect_message(run({name}), "");
  EXPECT_EQ(read_file(dir / name), "cdefab");
  EXPECT_EQ(dir.names(), Names{name});
}

TEST_F(Cli, FileTooLargeForMemoryIsReportedAndNothingIsTouched) {
  // Sparse, so only its size is large: past 4 GiB for a 32-bit build, past
  // the address space for a 64-bit one (tmpfs takes such sizes).
  const bool bits32 = testing_windows_build() && std::getenv("ARCMEND_BITS") == std::string("32");
  TempDir roomy(bits32 ? "" : "/dev/shm");
  const std::string name = roomy / "huge.arc";
  write_file(name, "");
  if (truncate(name.c_str(), bits32 ? (5LL << 30) : (1LL << 62)) != 0) {
    GTEST_SKIP() << "no sparse file of that size here";
  }
  expect_message(run({name}), kCannotLoad);
  EXPECT_EQ(roomy.names(), Names{"huge.arc"});
}

}  // namespace
}  // namespace e2e
