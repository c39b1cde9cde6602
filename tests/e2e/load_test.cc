// The content is copied out of the file as the new one is written: one
// changed by someone else meanwhile ends with a message and nothing changed,
// and whatever the kernel's copy refuses is read instead.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_runner.h"

namespace e2e {
namespace {

using Names = std::vector<std::string>;

struct FileId {
  dev_t device;
  ino_t inode;
};

// Whether process `pid` has a regular file open on `folder`'s file system,
// other than `old`, that is partly written: more than nothing, less than
// `full` bytes.
bool writing_partly(pid_t pid, const FileId& folder, const FileId& old, off_t full) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fds.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    struct stat st;
    if (found || stat((fds + "/" + entry->d_name).c_str(), &st) != 0) continue;
    found = S_ISREG(st.st_mode) && st.st_dev == folder.device && st.st_ino != old.inode &&
            st.st_size > 0 && st.st_size < full;
  }
  closedir(dir);
  return found;
}

FileId id_of(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return {st.st_dev, st.st_ino};
}

bool append(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  const bool done =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return done;
}

enum class Change { shrinks, grows };

class ChangedMeanwhile : public ::testing::TestWithParam<Change> {
 protected:
  // tmpfs where there is one, so that the write-out lasts long enough to
  // be caught only by being large, not by a slow disk.
  TempDir dir{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ""};
};

// Someone else changes the file while the tool writes its new content out:
// the tool must notice, say so, and leave the file as the change left it.
TEST_P(ChangedMeanwhile, WhileWrittenOutEndsWithAMessageAndNothingChanged) {
  const std::size_t size = testing_windows_build() ? 64u << 20 : 256u << 20;
  const std::string old = random_bytes(size, 17);
  const std::string tail = "appended by someone else";
  const std::string name = dir / "data.arc";
  int caught = 0;
  for (int attempt = 0; attempt < 20 && caught < 3; ++attempt) {
    write_file(name, old);
    unlink((name + ".bak").c_str());
    const FileId folder = id_of(dir.path()), file = id_of(name);
    bool changed = false;
    Invocation r;
    r.args = {"data.arc"};
    r.directory = dir.path();
    r.timeout_seconds = 300;
    r.while_running = [&](pid_t pid) {
      if (changed || !writing_partly(pid, folder, file, static_cast<off_t>(size))) return;
      changed =
          GetParam() == Change::shrinks ? truncate(name.c_str(), 4096) == 0 : append(name, tail);
    };
    const Outcome outcome = run_tool(r);
    if (!changed) continue;  // the write-out was over before it was seen
    ++caught;
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    EXPECT_EQ(outcome.signal, 0) << "the tool was killed";
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.out, as_printed(kCannotLoad));
    EXPECT_EQ(dir.names(), Names{"data.arc"});
    EXPECT_TRUE(read_file(name) ==
                (GetParam() == Change::shrinks ? old.substr(0, 4096) : old + tail))
        << "the file is not as the change left it";
  }
  EXPECT_GT(caught, 0) << "no write-out lasted long enough to be changed";
}

INSTANTIATE_TEST_SUITE_P(File, ChangedMeanwhile, ::testing::Values(Change::shrinks, Change::grows),
                         [](const auto& p) {
                           return p.param == Change::shrinks ? "shrinks" : "grows";
                         });

Outcome run_preloaded(const TempDir& dir, const std::vector<std::string>& libraries,
                      std::vector<std::string> environment = {}) {
  std::string preload;
  for (const std::string& library : libraries) {
    const std::string path = beside_this_program(library);
    EXPECT_EQ(access(path.c_str(), R_OK), 0) << path << " is not built";
    preload += (preload.empty() ? "" : ":") + path;
  }
  Invocation r;
  r.args = {"data.arc"};
  r.directory = dir.path();
  r.environment = std::move(environment);
  r.environment.push_back("LD_PRELOAD=" + preload);
  r.environment.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
  return run_tool(r);
}

// Where the kernel refuses its copy or stops short, from the start or
// partway through, the rest is read through a buffer from exactly where
// the copy stopped.
TEST(PosixCopy, WhateverTheKernelRefusesIsReadInstead) {
  const std::string old = random_bytes((3 << 20) + 3, 23);
  // EXDEV EINVAL EOPNOTSUPP ENOSYS, and 0 for a copy that stops early.
  for (const char* error : {"18", "22", "95", "38", "0"}) {
    for (const char* allowed : {"0", "1", "7"}) {
      SCOPED_TRACE(std::string("error ") + error + " after " + allowed + " copies");
      TempDir dir;
      write_file(dir / "data.arc", old);
      const Outcome outcome = run_preloaded(dir, {"libno_copy_range.so"},
                                            {std::string("ARCMEND_TEST_COPY_ERROR=") + error,
                                             std::string("ARCMEND_TEST_COPIES=") + allowed});
      EXPECT_EQ(outcome.out, "");
      EXPECT_TRUE(read_file(dir / "data.arc") == rotated(old, 2));
      EXPECT_TRUE(read_file(dir / "data.arc.bak") == old);
    }
  }
}

// Nothing trusts a copy's own count: a new file shorter than the old one
// never takes the name.
TEST(PosixCopy, ANewFileOfTheWrongLengthNeverTakesTheName) {
  const std::string old = random_bytes((1 << 20) + 7, 31);
  TempDir dir;
  write_file(dir / "data.arc", old);
  const Outcome outcome = run_preloaded(
      dir, {"libno_copy_range.so"}, {"ARCMEND_TEST_COPIES=-1", "ARCMEND_TEST_COPY_OVERSTATES=1"});
  EXPECT_EQ(outcome.out, kCannotWrite);
  EXPECT_TRUE(read_file(dir / "data.arc") == old);
  EXPECT_EQ(dir.names(), Names{"data.arc"});
}

}  // namespace
}  // namespace e2e
