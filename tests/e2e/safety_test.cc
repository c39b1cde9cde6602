// The user's data survives whatever goes wrong: a taken backup name, odd
// input, a read-only file or folder, a full disk or a file-size limit.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "tool_runner.h"

namespace e2e {
namespace {

using Names = std::vector<std::string>;

class Safety : public ::testing::Test {
 protected:
  Outcome run(const std::string& name) {
    Invocation r;
    r.args = {name};
    r.directory = dir.path();
    r.timeout_seconds = 20;
    r.as_nobody = as_nobody;
    return run_tool(r);
  }
  void expect_message(const Outcome& outcome, const std::string& text) {
    EXPECT_FALSE(outcome.timed_out) << "the tool blocked";
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.out, as_printed(text));
  }
  // Whether the cases for uid 65534 can run; they need root to switch to it.
  bool become_unprivileged() {
    if (!running_as_root()) return false;
    give_to_nobody(dir.path());
    as_nobody = true;
    return true;
  }
  unsigned mode_of(const std::string& name) {
    struct stat st;
    return stat((dir / name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffff;
  }
  TempDir dir;
  bool as_nobody = false;
};

// What only a POSIX system has: FIFOs, devices, owners, modes, symbolic
// links, signals and resource limits.
using PosixSafety = Safety;

TEST_F(Safety, AnExistingBackupIsNeverReplaced) {
  write_file(dir / "data.arc", "abcdef");
  write_file(dir / "data.arc.bak", "someone else's file");
  expect_message(run("data.arc"), "");
  EXPECT_EQ(read_file(dir / "data.arc"), "cdefab");
  EXPECT_EQ(read_file(dir / "data.arc.bak"), "someone else's file");
  EXPECT_EQ(dir.names(), (Names{"data.arc", "data.arc.bak"}));
}

// The Windows build: the backup's MoveFileA may fail for other reasons than
// a taken name, and then nothing may change.
using Win32Safety = Safety;

// win32_helper's status where a second open asking to delete the held file
// is not refused.
const int kHelperFoundNoSharing = 99;

TEST_F(Win32Safety, AFileHeldOpenWithoutDeleteSharingStaysAsItWas) {
  write_file(dir / "data.arc", "abcdef");
  write_file(dir / "data.arc.bak", "older");
  for (bool backup_taken : {true, false}) {
    SCOPED_TRACE(backup_taken ? "backup name taken" : "backup name free");
    if (!backup_taken) unlink((dir / "data.arc.bak").c_str());
    Invocation r;
    r.program = std::getenv("ARCMEND_WIN32_HELPER");
    r.args = {"hold", "data.arc", "\"" + windows_path(std::getenv("ARCMEND_CMD")) + "\" data.arc"};
    r.directory = dir.path();
    const Outcome outcome = run_tool(r);
    if (outcome.exit_code == kHelperFoundNoSharing) {
      GTEST_SKIP() << "this Wine does not enforce sharing: a file held open without delete "
                      "sharing still opens for deletion";
    }
    expect_message(outcome, kCannotWrite);
    EXPECT_EQ(read_file(dir / "data.arc"), "abcdef");
    EXPECT_EQ(read_file(dir / "data.arc.bak"), backup_taken ? "older" : "<missing>");
    EXPECT_EQ(dir.names(), backup_taken ? (Names{"data.arc", "data.arc.bak"}) : Names{"data.arc"});
  }
}

TEST_F(Win32Safety, ABackupNamePastThePathLimitIsTreatedAsTaken) {
  // The file's full name fits in MAX_PATH (260, its NUL included); with
  // ".bak" it does not.
  const std::string folder = windows_path(dir.path()) + "\\";
  const std::string name = folder + std::string(257 - folder.size(), 'n');
  const std::string file = dir / name.substr(folder.size());
  write_file(file, "abcdef");
  expect_message(run(name), "");
  EXPECT_EQ(read_file(file), "cdefab");
  EXPECT_EQ(dir.names(), Names{name.substr(folder.size())});
}

TEST_F(PosixSafety, NeverBlocksOnAFifo) {
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  expect_message(run("pipe"), kCannotOpen);
  EXPECT_EQ(dir.names(), Names{"pipe"});
}

TEST_F(PosixSafety, ADeviceIsNotOpened) {
  if (mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "making a device node needs root";
  }
  expect_message(run("null"), kCannotOpen);
  EXPECT_EQ(dir.names(), Names{"null"});
}

TEST_F(PosixSafety, AShortReadWritesAndRenamesNothing) {
  // sysfs files claim a whole page but read back only their text.
  const char* candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled",
                              "/sys/kernel/uevent_helper", "/sys/power/state"};
  for (const char* path : candidates) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (read_file(path).size() >= static_cast<std::size_t>(st.st_size)) continue;
    const std::string before = read_file(path);
    // Through a link, so that the new file can be made beside it.
    ASSERT_EQ(symlink(path, (dir / "short").c_str()), 0);
    expect_message(run("short"), kCannotLoad);
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(dir.names(), Names{"short"});
    return;
  }
  GTEST_SKIP() << "no file here reads shorter than its size";
}

TEST_F(PosixSafety, AnUnreadableFileCannotBeOpened) {
  if (!become_unprivileged()) GTEST_SKIP() << "switching to uid 65534 needs root";
  write_file(dir / "secret", "abcdef");
  ASSERT_EQ(chmod((dir / "secret").c_str(), 0200), 0);
  expect_message(run("secret"), kCannotOpen);
  EXPECT_EQ(dir.names(), Names{"secret"});
}

TEST_F(Safety, AReadOnlyFileWhoseBackupNameIsTakenStaysUnchanged) {
  // Root may write to any file on POSIX systems, so the tool runs as another
  // user there; on Windows the read-only attribute holds for everyone.
  write_file(dir / "data.arc", "abcdef");
  write_file(dir / "data.arc.bak", "older");
  if (running_as_root() && !testing_windows_build()) {
    ASSERT_TRUE(become_unprivileged());
    for (const char* name : {"data.arc", "data.arc.bak"}) give_to_nobody(dir / name);
  }
  ASSERT_EQ(chmod((dir / "data.arc").c_str(), 0444), 0);
  expect_message(run("data.arc"), kCannotWrite);
  EXPECT_EQ(read_file(dir / "data.arc"), "abcdef");
  EXPECT_EQ(read_file(dir / "data.arc.bak"), "older");
  EXPECT_EQ(dir.names(), (Names{"data.arc", "data.arc.bak"}));
}

TEST_F(PosixSafety, AReadOnlyFolderIsReportedAndNothingChanges) {
  if (file_system_lacks("modes")) GTEST_SKIP() << "no permission bits on this file system";
  if (!become_unprivileged()) GTEST_SKIP() << "switching to uid 65534 needs root";
  write_file(dir / "data.arc", "abcdef");
  give_to_nobody(dir / "data.arc");
  ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  expect_message(run("data.arc"), kCannotWrite);
  EXPECT_EQ(read_file(dir / "data.arc"), "abcdef");
  EXPECT_EQ(dir.names(), Names{"data.arc"});
}

// A file-size limit below the file's size makes the rewrite fail midway,
// as a full disk would.
class PosixSizeLimit : public Safety, public ::testing::WithParamInterface<bool> {};

TEST_P(PosixSizeLimit, AFailedRewriteLeavesFileAndBackupAsTheyWere) {
  const std::string old = random_bytes(256 << 10, 3);
  for (bool backup_taken : {false, true}) {
    SCOPED_TRACE(backup_taken ? "backup name taken" : "backup name free");
    write_file(dir / "data.arc", old);
    if (backup_taken) write_file(dir / "data.arc.bak", "older");
    Invocation r;
    r.args = {"data.arc"};
    r.directory = dir.path();
    r.file_size_limit = 64 << 10;
    if (GetParam()) r.ignored_signals = {SIGXFSZ};
    const Outcome outcome = run_tool(r);
    EXPECT_EQ(outcome.signal, 0) << "the tool was killed";
    expect_message(outcome, kCannotWrite);
    EXPECT_EQ(read_file(dir / "data.arc"), old);
    if (backup_taken) {
      EXPECT_EQ(read_file(dir / "data.arc.bak"), "older");
      EXPECT_EQ(dir.names(), (Names{"data.arc", "data.arc.bak"}));
    } else {
      EXPECT_EQ(dir.names(), Names{"data.arc"});
    }
    unlink((dir / "data.arc.bak").c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Sigxfsz, PosixSizeLimit, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "ignored" : "default"; });

// A folder with room for a 160 KiB file, not for a second copy of it: a
// small tmpfs of its own, or on a file system under test, a folder there
// once fill() has taken all its room but 64 KiB, which destruction gives
// back.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& where) : where_(where) {
    ready_ = mkdir(where.c_str(), 0755) == 0 &&
             (under_test_ || mount("tmpfs", where.c_str(), "tmpfs", 0, "size=256k") == 0);
  }
  ~SmallDisk() {
    if (ready_ && !under_test_) umount(where_.c_str());
    if (under_test_) give_back_room();
  }
  bool ready() const { return ready_; }
  // XFS gives back what it took ahead for a file when the file is closed,
  // so more filler follows until the room is gone.
  bool fill() {
    if (!under_test_) return true;
    room_before_ = room();
    for (int file = 0; file < kFillers; ++file) {
      const long long left = room() - (64 << 10);
      if (left <= 0) return true;
      if (!write_filler(filler_ / std::to_string(file), left)) return false;
    }
    return true;
  }

 private:
  static const int kFillers = 8;
  long long room() const {
    struct statvfs room;
    if (statvfs(where_.c_str(), &room) != 0) return -1;
    return static_cast<long long>(room.f_bavail) * room.f_frsize;
  }
  // An NFS server may keep a deleted file open for a while, and its room
  // with it: the cases that follow wait for theirs, for 20 s at most.
  void give_back_room() {
    for (int file = 0; file < kFillers; ++file) unlink((filler_ / std::to_string(file)).c_str());
    for (int waited = 0; waited < 200 && room() < room_before_ - (1 << 20); ++waited) {
      usleep(100000);
    }
  }
  // It may run out first: the room left is then smaller still.
  static bool write_filler(const std::string& path, long long left) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return full(errno);
    const std::string block(1 << 20, 'f');
    while (left > 0) {
      const ssize_t n = write(fd, block.data(), std::min<long long>(left, 1 << 20));
      if (n <= 0) break;
      left -= n;
    }
    // Network file systems may report a full disk only here.
    (void)fsync(fd);
    return close(fd) == 0 || full(errno);
  }
  static bool full(int error) { return error == ENOSPC || error == EDQUOT; }

  std::string where_;
  bool under_test_ = !folder_under_test().empty();
  bool ready_ = false;
  long long room_before_ = 0;
  TempDir filler_;
};

TEST_F(Safety, AFullDiskLeavesFileAndBackupAsTheyWere) {
  const std::string old = random_bytes(160 << 10, 5);
  // Both are written before either disk is filled: a network file system
  // may give back a filler's room only some time after it is deleted.
  SmallDisk free_name(dir / "free"), taken_name(dir / "taken");
  if (!free_name.ready() || !taken_name.ready()) GTEST_SKIP() << "mounting a tmpfs needs root";
  for (const char* folder : {"free", "taken"}) write_file(dir / folder + "/data.arc", old);
  write_file(dir / "taken/data.arc.bak", "older");
  ASSERT_TRUE(free_name.fill() && taken_name.fill());
  for (const std::string folder : {"free", "taken"}) {
    SCOPED_TRACE("backup name " + folder);
    const bool backup_taken = folder == "taken";
    expect_message(run(folder + "/data.arc"), kCannotWrite);
    EXPECT_TRUE(read_file(dir / folder + "/data.arc") == old) << "the old content changed";
    EXPECT_EQ(read_file(dir / folder + "/data.arc.bak"), backup_taken ? "older" : "<missing>");
    std::vector<std::string> names;
    TempDir::list(dir / folder, names);
    EXPECT_EQ(names.size(), backup_taken ? 2u : 1u) << "something was left behind";
  }
}

TEST_F(PosixSafety, TheNewFileKeepsPermissionsAndOwner) {
  if (file_system_lacks("modes")) GTEST_SKIP() << "no permission bits on this file system";
  write_file(dir / "private", "abcdef");
  ASSERT_EQ(chmod((dir / "private").c_str(), 0600), 0);
  write_file(dir / "shared", "abcdef");
  ASSERT_EQ(chmod((dir / "shared").c_str(), 0640), 0);
  expect_message(run("private"), "");
  expect_message(run("shared"), "");
  EXPECT_EQ(mode_of("private"), 0600u);
  EXPECT_EQ(mode_of("shared"), 0640u);
  if (!running_as_root()) return;
  write_file(dir / "theirs", "abcdef");
  give_to_nobody(dir / "theirs");
  expect_message(run("theirs"), "");
  struct stat st;
  ASSERT_EQ(stat((dir / "theirs").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
}

TEST_F(PosixSafety, ASymlinkIsBackedUpAndItsTargetLeftAlone) {
  write_file(dir / "target", "abcdef");
  ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
  expect_message(run("link"), "");
  EXPECT_EQ(read_file(dir / "target"), "abcdef");
  EXPECT_EQ(read_file(dir / "link"), "cdefab");
  char pointed[64] = {};
  ASSERT_GT(readlink((dir / "link.bak").c_str(), pointed, sizeof pointed - 1), 0);
  EXPECT_STREQ(pointed, "target");
}

}  // namespace
}  // namespace e2e
