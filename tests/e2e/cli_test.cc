// The command line, the messages and the repair as a user sees them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
  const std::string alias = dir / (testing_windows_build() ? "fixer.exe" : "fixer");
  write_file(alias, read_file(tool_command({}).back()));
  ASSERT_EQ(chmod(alias.c_str(), 0755), 0);
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

// Windows' ANSI file functions take paths of MAX_PATH at most.
using PosixCli = Cli;

TEST_F(PosixCli, LongPathsNeedNoFixedStorage) {
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

// What Explorer's Details tab and PowerShell's VersionInfo show.
TEST(Win32Version, TheProgramCarriesItsVersionResource) {
  const std::string version = std::getenv("ARCMEND_VERSION");
  Invocation r;
  r.program = std::getenv("ARCMEND_WIN32_HELPER");
  r.args = {"version", windows_path(std::getenv("ARCMEND_CMD"))};
  const Outcome outcome = run_tool(r);
  std::printf("%s", outcome.out.c_str());
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.out, as_printed("Fixed: " + version + ".0, product " + version + ".0\n" +
                                    "FileDescription: Compressed file repairer\n"
                                    "ProductName: arcmend\n"
                                    "FileVersion: " +
                                    version + "\n" + "ProductVersion: " + version + "\n" +
                                    "OriginalFilename: arcmend.exe\n"
                                    "LegalCopyright: Copyright (c) 2026 The arcmend developers\n"));
}

bool testing_32_bit_build() {
  return testing_windows_build() && std::getenv("ARCMEND_BITS") == std::string("32");
}

// A sparse file: only its first and last bytes take room.
void write_at(const std::string& name, long long offset, const std::string& bytes) {
  const int fd = open(name.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

void make_sparse(const std::string& name, long long size) {
  write_file(name, "XY");
  ASSERT_EQ(truncate(name.c_str(), size), 0) << "no sparse file of that size here";
  write_at(name, size - 4, "tail");
}

std::string bytes_at(const std::string& name, long long offset, std::size_t length) {
  std::string bytes(length, '\0');
  const int fd = open(name.c_str(), O_RDONLY);
  const ssize_t n = fd < 0 ? -1 : pread(fd, &bytes[0], length, offset);
  if (fd >= 0) close(fd);
  return n == static_cast<ssize_t>(length) ? bytes : "<unreadable>";
}

long long free_bytes(const std::string& folder) {
  struct statvfs st {};
  return statvfs(folder.c_str(), &st) == 0
             ? static_cast<long long>(st.f_bavail) * static_cast<long long>(st.f_frsize)
             : 0;
}

long long size_of(const std::string& name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 ? st.st_size : -1;
}

// Past what a 32-bit size or address space holds: the content is copied out
// piece by piece, so only the file system bounds the size. Marks at the ends
// and around the 2 GiB and 4 GiB boundaries, which are buffer boundaries
// too, must land two bytes earlier.
TEST_F(Cli, HugeFilesAreRepairedExactly) {
  const long long gib = 1LL << 30;
  const std::vector<long long> sizes = testing_32_bit_build()
                                           ? std::vector<long long>{4 * gib + 3, 5 * gib / 2}
                                           : std::vector<long long>{4 * gib + 3};
  const std::string name = dir / "huge.arc";
  for (long long size : sizes) {
    SCOPED_TRACE(size);
    // The new file is written in full, holes and all.
    if (free_bytes(dir.path()) < size + (64LL << 20)) {
      GTEST_SKIP() << dir.path() << " has no room for a new file of " << size
                   << " bytes; point TMPDIR at a file system that has";
    }
    make_sparse(name, size);
    std::vector<long long> marks;
    for (long long boundary : {2 * gib, 4 * gib}) {
      // The tail spans the boundary where it lies within the last bytes.
      if (boundary + 2 <= size - 4) marks.push_back(boundary - 2);
    }
    for (long long at : marks) write_at(name, at, "abcd");
    Invocation r;
    r.args = {name};
    r.timeout_seconds = 600;
    expect_message(run_tool(r), "");
    EXPECT_EQ(size_of(name), size);
    EXPECT_EQ(bytes_at(name, 0, 2), std::string(2, '\0'));
    EXPECT_EQ(bytes_at(name, size - 6, 6), "tailXY");
    for (long long at : marks) EXPECT_EQ(bytes_at(name, at - 2, 4), "abcd") << at;
    EXPECT_EQ(size_of(name + ".bak"), size);
    unlink(name.c_str());
    unlink((name + ".bak").c_str());
  }
}

// Windows' own names can hold any character once the ANSI code page is
// UTF-8, as the program's manifest asks.
TEST_F(Cli, NamesOutsideAsciiAreRepaired) {
  const std::string name = "\xd0\xb4\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5.arc";  // данные.arc
  write_file(dir / name, "abcdef");
  expect_message(run({name}), "");
  expect_repaired(name, "abcdef");
}

}  // namespace
}  // namespace e2e
