// Runs the built tool as a child process, the way a user's shell would, but
// never on the tester's terminal. The command comes from the environment:
// ARCMEND_CMD (the binary) and ARCMEND_RUNNER (a program to run it with,
// such as wine). ARCMEND_TARGET=windows marks the Windows build, and
// ARCMEND_BITS its pointer size (32 or 64). On a file system under test,
// ARCMEND_TEST_DIR is a folder on it and ARCMEND_TEST_LACKS lists what it
// cannot hold, from tests/filesystems/table.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

bool testing_windows_build();

// The message as the tool's standard output carries it (CR LF on Windows).
std::string as_printed(const std::string& text);

extern const char kUsage[];
extern const char kCannotOpen[];
extern const char kCannotLoad[];
extern const char kCannotWrite[];

struct Invocation {
  std::vector<std::string> args;
  std::string program;  // the tool under another name; empty for ARCMEND_CMD
  std::string directory = ".";
  std::string output_file;           // standard output goes to this file, not a pipe
  bool as_nobody = false;            // uid and gid 65534
  long long file_size_limit = -1;    // RLIMIT_FSIZE, -1 for none
  std::vector<int> ignored_signals;  // started with these ignored, as nohup does
  double timeout_seconds = 60;
  double signal_after_seconds = -1;  // when to send `signal`, -1 for never
  int signal = 0;
  std::vector<std::string> environment;  // "NAME=value", added to the tool's
  std::vector<std::string> wrapper;      // a command that runs the tool (strace, say)
  // Called about every millisecond while the tool runs, with its pid.
  std::function<void(pid_t)> while_running;
};

struct Outcome {
  int exit_code = -1;  // -1 when it did not exit normally
  int signal = 0;      // the signal that ended it, if any
  bool timed_out = false;
  double seconds = 0;  // from the start to the end of the output
  std::string out;
};

// In a new session, so with no controlling terminal; standard input is
// /dev/null.
Outcome run_tool(const Invocation& run);

// argv for exec: the runner (if any), the tool, then `args`.
std::vector<std::string> tool_command(const std::vector<std::string>& args,
                                      const std::string& program = "");
void exec_command(const std::vector<std::string>& command);

// `path` as a Windows program under Wine names it: drive Z: is the root.
std::string windows_path(const std::string& path);

// A file built beside the running test program (a library to preload, say).
std::string beside_this_program(const std::string& name);

// The folder on the file system under test; empty where none is.
std::string folder_under_test();
// Whether the file system under test cannot hold `what` ("links", "modes",
// "tmpfile", "acls", "xattrs"...): only then may a case expect less.
bool file_system_lacks(const std::string& what);

// A fresh folder, removed with its content on destruction.
class TempDir {
 public:
  // `parent` defaults to the folder under test, else $TMPDIR, else /tmp.
  explicit TempDir(const std::string& parent = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Every name in the folder, sorted.
  std::vector<std::string> names() const;
  static void list(const std::string& folder, std::vector<std::string>& names);

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
std::string random_bytes(std::size_t n, unsigned seed);
std::string rotated(const std::string& content, std::size_t by);

bool running_as_root();
// Hands the folder to uid 65534 so the tool can run there as that user.
void give_to_nobody(const std::string& path);

}  // namespace e2e
