#include "tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace e2e {

const char kUsage[] = "Compressed file repairer - Quorvane 2004.\n\nUse: arcmend.exe filename\n";
const char kCannotOpen[] = "Cannot open the file.\n";
const char kCannotLoad[] = "Cannot load the file to the memory.\n";
const char kCannotWrite[] = "Cannot write the file.\n";

namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

[[noreturn]] void die(const char* what) {
  std::perror(what);
  _exit(127);
}

void become_nobody() {
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
    die("become nobody");
  }
}

void limit_file_size(long long limit) {
  struct rlimit r;
  r.rlim_cur = r.rlim_max = static_cast<rlim_t>(limit);
  if (setrlimit(RLIMIT_FSIZE, &r) != 0) die("setrlimit");
}

[[noreturn]] void start_child(const Invocation& run, int out_fd) {
  if (setsid() < 0) die("setsid");
  if (chdir(run.directory.c_str()) != 0) die("chdir");
  const int null_fd = open("/dev/null", O_RDONLY);
  if (!run.output_file.empty()) out_fd = open(run.output_file.c_str(), O_WRONLY | O_CREAT, 0644);
  if (null_fd < 0 || out_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0) die("redirect");
  signal(SIGXFSZ, SIG_DFL);
  for (int sig : run.ignored_signals) signal(sig, SIG_IGN);
  if (run.file_size_limit >= 0) limit_file_size(run.file_size_limit);
  if (run.as_nobody) become_nobody();
  for (const std::string& variable : run.environment) putenv(const_cast<char*>(variable.c_str()));
  std::vector<std::string> command = run.wrapper;
  for (const std::string& word : tool_command(run.args, run.program)) command.push_back(word);
  exec_command(command);
  die("exec");
}

// uid 65534 may not enter the folder the build lives in (a clone in a
// private folder), so it runs a copy of the tool from one it can enter.
std::string copy_for_nobody() {
  static TempDir folder{env_or("TMPDIR", "/tmp")};  // never a folder under test
  static std::string copy;
  if (copy.empty()) {
    copy = folder / "arcmend";
    write_file(copy, read_file(env_or("ARCMEND_CMD", "arcmend")));
    if (chmod(folder.path().c_str(), 0755) != 0 || chmod(copy.c_str(), 0755) != 0) {
      throw std::runtime_error("chmod " + copy);
    }
  }
  return copy;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void collect_output(int fd, Outcome& outcome, pid_t pid, const Invocation& run) {
  const auto start = std::chrono::steady_clock::now();
  bool signalled = run.signal_after_seconds < 0;
  char buffer[4096];
  for (;;) {
    const double elapsed = seconds_since(start);
    outcome.seconds = elapsed;
    if (elapsed >= run.timeout_seconds) {
      outcome.timed_out = true;
      kill(pid, SIGKILL);
      return;
    }
    if (!signalled && elapsed >= run.signal_after_seconds) {
      kill(pid, run.signal);
      signalled = true;
    }
    if (run.while_running) run.while_running(pid);
    const double next = signalled ? run.timeout_seconds : run.signal_after_seconds;
    const int wait_ms = run.while_running ? 1 : static_cast<int>((next - elapsed) * 1000) + 1;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      outcome.seconds = seconds_since(start);
      return;
    }
    outcome.out.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

bool testing_windows_build() { return env_or("ARCMEND_TARGET", "") == "windows"; }

std::string as_printed(const std::string& text) {
  if (!testing_windows_build()) return text;
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::vector<std::string> tool_command(const std::vector<std::string>& args,
                                      const std::string& program) {
  std::vector<std::string> command;
  const std::string runner = env_or("ARCMEND_RUNNER", "");
  if (!runner.empty()) command.push_back(runner);
  command.push_back(program.empty() ? env_or("ARCMEND_CMD", "arcmend") : program);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

void exec_command(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
}

std::string windows_path(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out) c = c == '/' ? '\\' : c;
  return out;
}

std::string beside_this_program(const std::string& name) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return name;
  const std::string self(path, static_cast<std::size_t>(n));
  return self.substr(0, self.rfind('/') + 1) + name;
}

Outcome run_tool(const Invocation& original) {
  Invocation run = original;
  if (run.as_nobody && run.program.empty()) run.program = copy_for_nobody();
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) start_child(run, pipe_fds[1]);
  close(pipe_fds[1]);
  Outcome outcome;
  collect_output(pipe_fds[0], outcome, pid, run);
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!run.output_file.empty()) outcome.out = read_file(run.output_file);
  if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  return outcome;
}

std::string folder_under_test() { return env_or("ARCMEND_TEST_DIR", ""); }

bool file_system_lacks(const std::string& what) {
  std::istringstream lacks(env_or("ARCMEND_TEST_LACKS", ""));
  for (std::string word; std::getline(lacks, word, ',');) {
    if (word == what) return true;
  }
  return false;
}

TempDir::TempDir(const std::string& parent) {
  const std::string under_test = folder_under_test();
  std::string pattern = (!parent.empty()       ? parent
                         : !under_test.empty() ? under_test
                                               : env_or("TMPDIR", "/tmp")) +
                        "/arcmend-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
  }
  path_ = pattern;
}

namespace {

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") remove_tree(path + "/" + name);
      }
      closedir(dir);
    }
    // An NFS client keeps a file that is still in use under a .nfs name of
    // its own until it is not: that takes a moment after a full disk.
    for (int waited = 0; rmdir(path.c_str()) != 0 && errno == ENOTEMPTY && waited < 50; ++waited) {
      usleep(100000);
    }
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

TempDir::~TempDir() { remove_tree(path_); }

std::vector<std::string> TempDir::names() const {
  std::vector<std::string> names;
  list(path_, names);
  return names;
}

void TempDir::list(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
}

std::string read_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return "<missing>";
  }
  std::string content(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = read(fd, &content[done], content.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  content.resize(done);
  return content;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("write " + path);
}

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
  return bytes;
}

std::string rotated(const std::string& content, std::size_t by) {
  if (content.size() < 2) return content;
  std::string out = content;
  for (std::size_t i = 0; i < by / 2; ++i) out = out.substr(2) + out.substr(0, 2);
  return out;
}

bool running_as_root() { return geteuid() == 0; }

void give_to_nobody(const std::string& path) {
  if (chown(path.c_str(), 65534, 65534) != 0) throw std::runtime_error("chown " + path);
}

}  // namespace e2e
