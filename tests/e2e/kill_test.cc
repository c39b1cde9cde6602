// A repair ended at any moment, by a kill or by Ctrl+C, loses nothing and
// leaves nothing of its own behind. The moments are drawn from a fixed seed;
// what is checked is the outcome of each, wherever it fell inside a repair.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "tool_runner.h"

namespace e2e {
namespace {

using Names = std::vector<std::string>;

struct Plan {
  std::size_t size;
  int kills;
  std::vector<int> signals;
};

// The Windows build runs under emulation, where a repair takes seconds. The
// file systems under test take their turns in an emulated machine.
Plan plan_for_platform() {
  const bool under_test = !folder_under_test().empty();
  if (testing_windows_build()) return {64u << 20, under_test ? 2 : 8, {SIGINT, SIGKILL}};
  if (under_test) return {64u << 20, 8, {SIGKILL}};
  return {256u << 20, 30, {SIGKILL}};
}

ino_t inode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool is_hidden(const std::string& name) { return name.rfind(".arcmend-", 0) == 0; }

class Kill : public ::testing::Test {
 protected:
  Outcome run(double signal_after = -1, int signal = 0) {
    Invocation r;
    r.args = {"data.arc"};
    r.directory = dir.path();
    r.signal_after_seconds = signal_after;
    r.signal = signal;
    r.timeout_seconds = 300;
    return run_tool(r);
  }
  // The old file under its name alone: a link to a copy kept aside, which
  // the tool, never writing to the old file, leaves as it is; a copy where
  // the file system has no hard links.
  void reset() {
    unlink((dir / "data.arc").c_str());
    unlink((dir / "data.arc.bak").c_str());
    if (file_system_lacks("links")) {
      write_file(dir / "data.arc", read_file(pristine));
    } else {
      ASSERT_EQ(link(pristine.c_str(), (dir / "data.arc").c_str()), 0);
    }
  }
  // Wine's server deletes an ended program's delete-on-close file when it
  // closes the program's handles, which on a slow file system can be a
  // moment after the program is gone.
  Names settled_names() const {
    Names names = dir.names();
    for (int waited = 0; testing_windows_build() && waited < 30 &&
                         std::any_of(names.begin(), names.end(), is_hidden);
         ++waited) {
      usleep(100000);
      names = dir.names();
    }
    return names;
  }
  void remove_hidden_files(Names& names) {
    for (auto name = names.begin(); name != names.end();) {
      if (!is_hidden(*name)) {
        ++name;
        continue;
      }
      unlink((dir / *name).c_str());
      name = names.erase(name);
    }
  }
  // The file system under test, else tmpfs where there is one, so that the
  // disk does not set the pace.
  std::string parent = !folder_under_test().empty()    ? folder_under_test()
                       : access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                       : "";
  TempDir dir{parent};
  TempDir aside{parent};
  std::string pristine = aside / "old";
};

// What the folder holds, for a failure's message.
std::string describe(const TempDir& dir, const Names& names, ino_t old_inode) {
  std::string text;
  for (const std::string& name : names) {
    struct stat st {};
    lstat((dir / name).c_str(), &st);
    text += " " + name + " (" + std::to_string(st.st_size) + " bytes" +
            (st.st_ino == old_inode ? ", the old file)" : ")");
  }
  return text.empty() ? " nothing" : text;
}

TEST_F(Kill, ARepairEndedAtAnyMomentLosesNothingAndLeavesNothing) {
  const Plan plan = plan_for_platform();
  const std::string old = random_bytes(plan.size, 9);
  const std::string repaired = rotated(old, 2);
  // Written under its own name first: an SMB client holds a file's handle
  // for a moment after it is closed, and a new link to a file so held
  // cannot be opened meanwhile (EINVAL).
  write_file(dir / "data.arc", old);
  if (file_system_lacks("links")) {
    write_file(pristine, old);
  } else {
    ASSERT_EQ(link((dir / "data.arc").c_str(), pristine.c_str()), 0);
  }
  const ino_t old_inode = inode_of(pristine);
  const Outcome whole = run();
  ASSERT_EQ(whole.exit_code, 0);
  ASSERT_TRUE(read_file(dir / "data.arc") == repaired) << "the whole repair went wrong";

  // Moments are drawn from the length of the last repair that ran to its
  // end: a kill that comes after the end tested nothing, so it is drawn
  // again from that run's own length. Each kill counts once it landed.
  double length = whole.seconds;
  std::mt19937 generator(2026);
  int landed = 0, draws = 0, left_hidden = 0;
  while (landed < plan.kills && draws < plan.kills * 4) {
    ++draws;
    const int signal = plan.signals[static_cast<std::size_t>(landed) % plan.signals.size()];
    const double when = std::uniform_real_distribution<double>(0, length)(generator);
    reset();
    const Outcome outcome = run(when, signal);
    const bool ended_by_it = outcome.signal != 0 || outcome.exit_code != 0;
    Names names = settled_names();
    const std::string kill = "kill " + std::to_string(landed) + ": " + strsignal(signal) +
                             " after " + std::to_string(when) + " s of a repair that took " +
                             std::to_string(outcome.seconds) + " s; the folder held" +
                             describe(dir, names, old_inode);
    SCOPED_TRACE(kill);
    EXPECT_FALSE(outcome.timed_out);
    if (ended_by_it) {
      ++landed;
    } else {
      length = outcome.seconds;
    }
    // A kill, which Windows cannot catch, may land in the instant between
    // the hidden file's creation and its mark for deletion; without
    // O_TMPFILE the new file has its hidden name throughout.
    if ((testing_windows_build() || file_system_lacks("tmpfile")) && signal == SIGKILL) {
      const std::size_t before = names.size();
      remove_hidden_files(names);
      if (names.size() != before) ++left_hidden;
    }
    // Between the backup's rename and the commit, the backup is all there
    // is; only a kill can end the tool there.
    EXPECT_TRUE(names == Names{"data.arc"} || names == (Names{"data.arc", "data.arc.bak"}) ||
                (names == Names{"data.arc.bak"} && signal == SIGKILL))
        << "something was left behind, or the name is missing";
    const std::string file = read_file(dir / "data.arc");
    EXPECT_TRUE(file == old || read_file(dir / "data.arc.bak") == old) << "the old file is lost";
    if (file != old && file != "<missing>") {
      EXPECT_TRUE(file == repaired) << "a partial file";
    }
  }
  EXPECT_TRUE(read_file(pristine) == old) << "the old file was written to";
  EXPECT_EQ(landed, plan.kills) << "only " << landed << " of " << draws
                                << " kills came before the repair's end";
  std::printf("%d kills landed in %d draws; %d left the hidden file\n", landed, draws, left_hidden);
}

}  // namespace
}  // namespace e2e
