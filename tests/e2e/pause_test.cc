// The pause, inside a pseudo-terminal that the test owns and types into.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "tool_runner.h"

namespace e2e {
namespace {

bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// What is still queued on the terminal, as hex. Bounded whatever mode the
// terminal is in: Wine's console puts back the mode it found when it ends,
// which may come after this one is set, and would make a read wait for a
// whole line.
std::string drain_terminal() {
  termios mode;
  tcgetattr(0, &mode);
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  tcsetattr(0, TCSANOW, &mode);
  fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::string left;
  struct pollfd p = {0, POLLIN, 0};
  unsigned char byte;
  while (std::chrono::steady_clock::now() < deadline && poll(&p, 1, 100) > 0 &&
         read(0, &byte, 1) == 1) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", byte);
    left += hex;
  }
  return left;
}

// Waits at most `seconds` for `pid` to end; false if it is still running.
bool reap(pid_t pid, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  for (;;) {
    const pid_t ended = waitpid(pid, nullptr, WNOHANG);
    if (ended == pid || (ended < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(10000);
  }
}

// What Wine's console host traces once a read of the console waits.
const char kReadPending[] = "console_input_ioctl pending read";

// Runs in the terminal's session: starts the tool, waits for it, and
// reports on `report` how it ended and what it left on the terminal. Under
// Wine the tool's standard error goes to `trace`, with the console's traces.
// The tool starts with signal `ignored` ignored, unless it is 0.
[[noreturn]] void supervise(const std::vector<std::string>& args, int report, int go, int trace,
                            int stdin_fd, int ignored) {
  char byte;
  while (read(go, &byte, 1) < 0 && errno == EINTR) {
  }
  termios before, after;
  tcgetattr(0, &before);
  const pid_t tool = fork();
  if (tool == 0) {
    if (stdin_fd >= 0) dup2(stdin_fd, 0);
    if (ignored != 0) signal(ignored, SIG_IGN);
    if (testing_windows_build()) {
      setenv("WINEDEBUG", "-all,trace+console", 1);
      dup2(trace, 2);
    }
    exec_command(tool_command(args));
    _exit(127);
  }
  dprintf(report, "pid %d\n", static_cast<int>(tool));
  int status = 0;
  while (waitpid(tool, &status, 0) < 0 && errno == EINTR) {
  }
  tcgetattr(0, &after);
  const bool same = same_mode(before, after);
  const std::string left = drain_terminal();
  dprintf(report, "exit %d signal %d mode %s left %s.\n",
          WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
          same ? "same" : "changed", left.c_str());
  _exit(0);
}

// The text a terminal would show: Wine's console draws with escape
// sequences and moves the cursor over blanks.
std::string visible_text(const std::string& screen) {
  std::string text;
  for (std::size_t i = 0; i < screen.size(); ++i) {
    if (screen[i] != '\x1b' || i + 1 >= screen.size() || screen[i + 1] != '[') {
      text += screen[i];
      continue;
    }
    std::size_t end = i + 2;
    while (end < screen.size() && !(screen[end] >= 0x40 && screen[end] <= 0x7e)) ++end;
    if (end < screen.size() && screen[end] == 'C') {
      const std::string count = screen.substr(i + 2, end - i - 2);
      text.append(count.empty() ? 1 : std::stoul(count), ' ');
    }
    i = end;
  }
  return text;
}

class Pause : public ::testing::Test {
 protected:
  // Starts the tool once `typed_ahead` is queued on the terminal.
  void start(const std::vector<std::string>& args, int stdin_fd = -1,
             const std::string& typed_ahead = "") {
    int fds[2], go[2], trace[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe2(trace, O_CLOEXEC), 0);
    // Traces nobody reads are dropped rather than block Wine.
    fcntl(trace[1], F_SETFL, O_NONBLOCK);
    supervisor_ = forkpty(&master_, nullptr, nullptr, nullptr);
    ASSERT_GE(supervisor_, 0);
    if (supervisor_ == 0) {
      close(fds[0]);
      close(go[1]);
      supervise(args, fds[1], go[0], trace[1], stdin_fd, ignored_signal_);
    }
    close(fds[1]);
    close(go[0]);
    close(trace[1]);
    report_ = fds[0];
    trace_ = trace[0];
    if (!typed_ahead.empty()) press(typed_ahead);
    EXPECT_EQ(write(go[1], "", 1), 1);
    close(go[1]);
    std::string line = report_line(30);
    ASSERT_EQ(line.rfind("pid ", 0), 0u) << line;
    tool_ = std::stoi(line.substr(4));
  }

  // Ends all that the test started in the terminal's session, the tool and
  // Wine's console with it, before a bounded wait for the supervisor.
  void TearDown() override {
    for (int* fd : {&master_, &report_, &trace_}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    if (supervisor_ <= 0) return;
    if (tool_ > 0) kill(tool_, SIGKILL);
    kill(-supervisor_, SIGKILL);
    EXPECT_TRUE(reap(supervisor_, 5)) << "the supervisor did not end";
    supervisor_ = tool_ = -1;
  }

  // Reads the terminal's output until it holds `text`.
  bool wait_for_output(const std::string& text, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (visible_text(screen_).find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[1024];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;
      screen_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  // The supervisor's next line, or "" if none comes within `seconds`.
  std::string report_line(double seconds) {
    std::string line;
    char c;
    struct pollfd p = {report_, POLLIN, 0};
    while (poll(&p, 1, static_cast<int>(seconds * 1000)) > 0 && read(report_, &c, 1) == 1) {
      if (c == '\n') return line;
      line += c;
    }
    return "";
  }

  void press(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Whether the tool is reading the keyboard within `seconds`: the Linux
  // build has put the terminal in raw mode, or Wine's console has a read
  // pending.
  bool reading_keys(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    std::string traced;
    while (std::chrono::steady_clock::now() < deadline) {
      termios mode;
      if (!testing_windows_build() && tcgetattr(master_, &mode) == 0 &&
          (mode.c_lflag & ICANON) == 0) {
        return true;
      }
      struct pollfd p = {trace_, POLLIN, 0};
      char buffer[4096];
      const ssize_t n = poll(&p, 1, 10) > 0 ? read(trace_, buffer, sizeof buffer) : 0;
      if (n > 0) traced.append(buffer, static_cast<std::size_t>(n));
      if (traced.find(kReadPending) != std::string::npos) return true;
    }
    return false;
  }

  void expect_waiting_for_banner() {
    ASSERT_TRUE(wait_for_output("Use: arcmend.exe filename", 30)) << screen_;
    ASSERT_TRUE(reading_keys(30)) << "the tool never read the keyboard";
    EXPECT_EQ(report_line(0.3), "") << "the tool did not wait";
  }

  // Presses `keys` and expects a clean end with nothing left behind.
  void expect_key_ends_wait(const std::string& keys) {
    press(keys);
    const std::string end = report_line(30);
    if (testing_windows_build()) {
      // Wine's console puts the terminal's mode back as it ends, maybe after
      // the supervisor looked: only the key must be gone.
      EXPECT_EQ(end.rfind("exit 0 signal 0", 0), 0u) << end;
      EXPECT_NE(end.find(" left ."), std::string::npos) << end << ": the key was not consumed";
    } else {
      EXPECT_EQ(end, "exit 0 signal 0 mode same left .");
    }
  }

  int ignored_signal_ = 0;  // what the next start() starts the tool ignoring
  pid_t supervisor_ = -1;
  pid_t tool_ = -1;
  int master_ = -1;
  int report_ = -1;
  int trace_ = -1;
  std::string screen_;
};

TEST_F(Pause, WaitsForOneKeyAndDoesNotEchoIt) {
  start({});
  expect_waiting_for_banner();
  const std::size_t shown = screen_.size();
  expect_key_ends_wait("q");
  wait_for_output("never", 0.3);
  EXPECT_EQ(screen_.find('q', shown), std::string::npos)
      << "the key was echoed: " << ::testing::PrintToString(screen_.substr(shown));
}

class PauseKeys : public Pause, public ::testing::WithParamInterface<const char*> {};

TEST_P(PauseKeys, EndsTheWaitAndLeavesNothingBehind) {
  const std::string keys = GetParam();
  if (testing_windows_build() && keys.size() == 1 && keys[0] < 0x20) {
    GTEST_SKIP() << "Wine's console keeps the Unix terminal's signal keys";
  }
  start({});
  expect_waiting_for_banner();
  expect_key_ends_wait(keys);
}

// Ctrl+C, Ctrl+Z and Ctrl+\ are keys here, not signals; the escape sequences
// are arrows, function keys and Alt combinations in their usual encodings.
INSTANTIATE_TEST_SUITE_P(Keys, PauseKeys,
                         ::testing::Values("\x03", "\x1a", "\x1c", "\x1b[A", "\x1b[15~", "\x1bOP",
                                           "\x1b[1;5C", "\x1b[[A", "\xc3\xa9"));

TEST_F(Pause, RedirectedStandardInputIsNotRead) {
  if (testing_windows_build()) GTEST_SKIP() << "Wine's console reads its keys from standard input";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "y\n", 2), 2);
  start({}, fds[0]);
  expect_waiting_for_banner();
  expect_key_ends_wait("k");
  char left[4] = {};
  EXPECT_EQ(read(fds[0], left, sizeof left), 2);
  EXPECT_STREQ(left, "y\n");
  close(fds[0]);
  close(fds[1]);
}

TEST_F(Pause, AKeyTypedBeforeTheWaitEndsIt) {
  start({"missing.arc"}, -1, "k");
  ASSERT_TRUE(wait_for_output("Cannot open the file.", 30)) << screen_;
  const std::string end = report_line(30);
  EXPECT_EQ(end.rfind("exit 0 signal 0", 0), 0u) << end;
}

TEST_F(Pause, ARepairThatRunsDoesNotPause) {
  TempDir dir;
  write_file(dir / "data.arc", "abcdef");
  start({dir / "data.arc"});
  const std::string end = report_line(30);
  EXPECT_EQ(end.rfind("exit 0 signal 0", 0), 0u) << end;
  EXPECT_EQ(read_file(dir / "data.arc"), "cdefab");
}

using PosixPause = Pause;

// A signal the tool was started ignoring (nohup) stays ignored.
TEST_F(PosixPause, EndingSignalsRestoreTheTerminalFirstAndIgnoredOnesStayIgnored) {
  for (int sig : {SIGTERM, SIGHUP, SIGQUIT}) {
    for (bool ignored : {false, true}) {
      SCOPED_TRACE(std::string(strsignal(sig)) + (ignored ? ", ignored" : ""));
      screen_.clear();
      ignored_signal_ = ignored ? sig : 0;
      start({});
      expect_waiting_for_banner();
      kill(tool_, sig);
      if (ignored) {
        EXPECT_EQ(report_line(0.3), "") << "the ignored signal ended the wait";
        expect_key_ends_wait("k");
      } else {
        EXPECT_EQ(report_line(30), "exit -1 signal " + std::to_string(sig) + " mode same left .");
      }
      TearDown();
    }
  }
}

}  // namespace
}  // namespace e2e
