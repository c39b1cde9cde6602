// Every system call of a repair, made to fail in turn. strace traces one
// clean repair; then each call after the tool first names the file fails,
// one occurrence at a time, with each error that call really returns, and
// is met by each signal that ends the tool. After every run the user's data
// must be whole, nothing of the tool's work left, and the message must
// match what changed.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "tool_runner.h"

namespace e2e {
namespace {

using Names = std::vector<std::string>;

// The sanitizer build's tests are built with the sanitizer too.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

enum class NewFile { unnamed, named, no_noreplace };
// The kernel's copy, or a preload that refuses it with an error, or has it
// stop at once with 0: then the buffered copy's calls are swept.
enum class Copy { kernel, refused, stops };

struct Scenario {
  bool backup_taken;
  Copy copy;
  NewFile new_file;
  bool under_nohup = false;  // started with SIGHUP, SIGINT and SIGQUIT ignored
};

std::string describe(const Scenario& s) {
  static const char* const kNewFile[] = {"unnamed", "named", "no_noreplace"};
  static const char* const kCopy[] = {"kernel_copy", "copy_refused", "copy_stops"};
  return std::string(s.backup_taken ? "taken" : "free") + "_" + kCopy[static_cast<int>(s.copy)] +
         "_" + kNewFile[static_cast<int>(s.new_file)] + (s.under_nohup ? "_nohup" : "");
}

void PrintTo(const Scenario& s, std::ostream* out) { *out << describe(s); }

// One call of the clean repair: its name, which occurrence of that call it
// is since the process started, and where it stands in the trace.
struct Call {
  std::string name;
  int occurrence;
  std::size_t position;
};

struct Trace {
  std::vector<Call> calls;  // from the first that names the file on
  std::size_t commit = 0;   // the last rename or link: the new file takes the name
};

const char kFileArgument[] = "\"data.arc\"";

bool names_the_file(const std::string& line) {
  return line.find(kFileArgument) != std::string::npos && line.rfind("execve(", 0) != 0;
}

bool renames_or_links(const std::string& call) {
  return call == "rename" || call == "renameat" || call == "renameat2" || call == "link" ||
         call == "linkat";
}

Trace parse_trace(const std::string& path) {
  Trace trace;
  std::ifstream in(path);
  std::map<std::string, int> seen;
  bool named = false;
  std::string line;
  for (std::size_t position = 0; std::getline(in, line);) {
    const std::size_t paren = line.find('(');
    if (paren == std::string::npos || line[0] == '-' || line[0] == '+') continue;
    const std::string name = line.substr(0, paren);
    const int occurrence = ++seen[name];
    named = named || names_the_file(line);
    ++position;
    // An exit cannot fail, and a failed one would not end the process.
    if (!named || name == "exit_group" || name == "exit") continue;
    trace.calls.push_back({name, occurrence, position});
    if (renames_or_links(name)) trace.commit = position;
  }
  return trace;
}

// The errors each call really returns; EIO is among them everywhere.
std::vector<std::string> errors_of(const std::string& call) {
  static const std::map<std::string, std::vector<std::string>> kErrors = {
      {"openat",
       {"EIO", "EINTR", "ENOMEM", "EACCES", "EPERM", "EROFS", "ENOSPC", "EDQUOT", "EMFILE"}},
      {"newfstatat", {"EIO", "ENOMEM", "EACCES"}},
      {"fstat", {"EIO", "ENOMEM"}},
      {"fstatfs", {"EIO", "ENOMEM", "ENOSYS"}},
      {"statx", {"EIO", "ENOMEM", "EACCES"}},
      {"read", {"EIO", "EINTR", "ENOMEM"}},
      {"pread64", {"EIO", "EINTR", "ENOMEM"}},
      {"mmap", {"EIO", "ENOMEM", "EACCES", "EPERM"}},
      {"munmap", {"EIO", "ENOMEM"}},
      {"write", {"EIO", "EINTR", "ENOSPC", "EDQUOT", "EFBIG"}},
      {"copy_file_range",
       {"EIO", "EINTR", "ENOSPC", "EDQUOT", "EFBIG", "ENOMEM", "EXDEV", "EINVAL", "EOPNOTSUPP",
        "ENOSYS"}},
      {"fcntl", {"EIO", "EPERM", "EBUSY"}},
      {"fsync", {"EIO", "EINTR", "ENOSPC", "EDQUOT"}},
      {"fdatasync", {"EIO", "EINTR", "ENOSPC", "EDQUOT"}},
      {"close", {"EIO", "EINTR", "ENOSPC", "EDQUOT"}},
      {"renameat2", {"EIO", "ENOSPC", "EDQUOT", "EACCES", "EPERM", "EROFS", "EMLINK", "ENOMEM"}},
      {"renameat", {"EIO", "ENOSPC", "EDQUOT", "EACCES", "EPERM", "EROFS", "EMLINK", "ENOMEM"}},
      {"rename", {"EIO", "ENOSPC", "EDQUOT", "EACCES", "EPERM", "EROFS", "EMLINK", "ENOMEM"}},
      {"link", {"EIO", "ENOSPC", "EDQUOT", "EACCES", "EPERM", "EROFS", "EMLINK", "ENOMEM"}},
      {"linkat", {"EIO", "ENOSPC", "EDQUOT", "EACCES", "EPERM", "EROFS", "EMLINK", "ENOMEM"}},
      {"unlink", {"EIO", "EACCES", "EPERM", "EROFS", "EBUSY"}},
      {"unlinkat", {"EIO", "EACCES", "EPERM", "EROFS", "EBUSY"}},
      {"fchown", {"EIO", "EPERM", "EROFS"}},
      {"fchmod", {"EIO", "EPERM", "EROFS"}},
      {"fsetxattr", {"EIO", "EPERM", "EROFS", "ENOSPC", "EDQUOT", "EOPNOTSUPP"}},
      {"fgetxattr", {"EIO", "ENOMEM", "EOPNOTSUPP"}},
      {"flistxattr", {"EIO", "ENOMEM", "EOPNOTSUPP"}},
      {"getrandom", {"EINTR", "EAGAIN"}},
  };
  const auto found = kErrors.find(call);
  return found != kErrors.end() ? found->second : std::vector<std::string>{"EIO"};
}

const std::map<std::string, int> kEndingSignals = {{"SIGINT", SIGINT},
                                                   {"SIGTERM", SIGTERM},
                                                   {"SIGHUP", SIGHUP},
                                                   {"SIGQUIT", SIGQUIT},
                                                   {"SIGKILL", SIGKILL}};
const std::vector<int> kNohupIgnores = {SIGHUP, SIGINT, SIGQUIT};

// What each call is met with: its errors and every ending signal, or under
// nohup only the signals the tool was started ignoring.
std::vector<std::string> faults_for(const std::string& call, bool under_nohup) {
  std::vector<std::string> faults = under_nohup ? std::vector<std::string>{} : errors_of(call);
  for (const auto& ending : kEndingSignals) {
    const bool ignored =
        std::find(kNohupIgnores.begin(), kNohupIgnores.end(), ending.second) != kNohupIgnores.end();
    if (!under_nohup || ignored) faults.push_back(ending.first);
  }
  return faults;
}

class PosixFaultSweep : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    old_ = random_bytes(1024, 41);
    new_ = rotated(old_, 2);
  }

  void lay_out() {
    for (const std::string& name : dir_.names()) unlink((dir_ / name).c_str());
    write_file(dir_ / "data.arc", old_);
    if (GetParam().backup_taken) write_file(dir_ / "data.arc.bak", kEarlier);
  }

  // Runs the tool under strace, with the scenario's refusals and `inject`.
  Outcome run(const std::string& trace, const std::vector<std::string>& inject) {
    lay_out();
    Invocation r;
    r.args = {"data.arc"};
    r.directory = dir_.path();
    r.timeout_seconds = 30;
    r.wrapper = {"strace", "-qq", "-o", trace};
    // LeakSanitizer cannot work under ptrace; the other tests find leaks.
    r.environment = {"ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
    if (GetParam().under_nohup) r.ignored_signals = kNohupIgnores;
    std::string preload;
    if (GetParam().new_file == NewFile::named) preload = beside_this_program("libno_tmpfile.so");
    if (GetParam().copy != Copy::kernel) {
      preload += (preload.empty() ? "" : ":") + beside_this_program("libno_copy_range.so");
      r.environment.push_back(GetParam().copy == Copy::stops ? "ARCMEND_TEST_COPY_ERROR=0"
                                                             : "ARCMEND_TEST_COPY_ERROR=95");
    }
    if (!preload.empty()) r.environment.push_back("LD_PRELOAD=" + preload);
    if (GetParam().new_file == NewFile::no_noreplace) {
      r.wrapper.insert(r.wrapper.end(), {"-e", "inject=renameat2:error=EINVAL"});
    }
    for (const std::string& option : inject) r.wrapper.insert(r.wrapper.end(), {"-e", option});
    return run_tool(r);
  }

  std::string what(const std::string& content) const {
    if (content == "<missing>") return "nothing";
    if (content == old_) return "the old content";
    if (content == new_) return "the rotation";
    return std::to_string(content.size()) + " other bytes";
  }

  // What is wrong after a run, or nothing. `late` allows "Cannot write the
  // file." with the repair in place: a sync or close after both renames.
  std::string judge(const Outcome& outcome, bool late) const {
    if (outcome.timed_out || outcome.signal != 0 || outcome.exit_code != 0) {
      return "ended with status " + std::to_string(outcome.exit_code) + ", signal " +
             std::to_string(outcome.signal);
    }
    const std::string message = outcome.out;
    if (!message.empty() && message != as_printed(kCannotOpen) &&
        message != as_printed(kCannotLoad) && message != as_printed(kCannotWrite)) {
      return "printed \"" + message + "\"";
    }
    const bool taken = GetParam().backup_taken;
    const Names names = dir_.names();
    // Without an earlier backup, the old file may have its backup name.
    if (names != Names{"data.arc", "data.arc.bak"} && (taken || names != Names{"data.arc"})) {
      std::string listed;
      for (const std::string& name : names) listed += " " + name;
      return "the folder holds" + listed;
    }
    const std::string file = read_file(dir_ / "data.arc");
    const std::string backup = read_file(dir_ / "data.arc.bak");
    if (taken && backup != kEarlier) return "the earlier backup changed";
    const bool unchanged = file == old_ && (taken || backup == "<missing>");
    const bool repaired = file == new_ && (taken || backup == old_);
    const bool late_write_failure = late && repaired && message == as_printed(kCannotWrite);
    if (message.empty() ? repaired : unchanged || late_write_failure) return "";
    return (message.empty() ? "no message" : "\"" + message.substr(0, message.size() - 1) + "\"") +
           ", but the name holds " + what(file) + " and the backup name " + what(backup);
  }

  // What is wrong after `sig` was delivered, or nothing. It either ended
  // the tool or the repair finished; under nohup it must not end it. The
  // old content must be whole under the name or the backup name, the name
  // is never missing but after a SIGKILL, and only a SIGKILL may leave a
  // hidden file: a named new file's, or the unnamed one's in the instant it
  // has a name of its own before it replaces the file.
  std::string judge_signalled(const Outcome& outcome, const std::string& sig) const {
    if (outcome.timed_out) return "it hung";
    const bool killed = sig == "SIGKILL";
    if (GetParam().under_nohup || outcome.signal != kEndingSignals.at(sig)) {
      const std::string verdict = judge(outcome, false);
      if (!verdict.empty()) return "not ended by the signal, and " + verdict;
      return outcome.out.empty() ? "" : "not ended by the signal, yet not repaired";
    }
    const bool taken = GetParam().backup_taken;
    const bool hidden_allowed = killed && (taken || GetParam().new_file == NewFile::named);
    for (const std::string& name : dir_.names()) {
      const bool hidden = name.rfind(".arcmend-", 0) == 0;
      if (name != "data.arc" && name != "data.arc.bak" && !(hidden && hidden_allowed)) {
        return "the folder holds " + name;
      }
    }
    const std::string file = read_file(dir_ / "data.arc");
    const std::string backup = read_file(dir_ / "data.arc.bak");
    if (taken && backup != kEarlier) return "the earlier backup changed";
    // Without RENAME_NOREPLACE the backup is a link first: both names may
    // hold the old file.
    const bool named = file == old_ || file == new_ || (killed && file == "<missing>");
    const bool whole = taken ? file == old_ || file == new_
                             : (file == old_ && backup == "<missing>") || (backup == old_ && named);
    return whole ? "" : "the name holds " + what(file) + " and the backup name " + what(backup);
  }

  static constexpr const char* kEarlier = "an earlier backup";
  TempDir dir_{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ""};
  TempDir traces_;
  std::string old_;
  std::string new_;
};

bool was_injected(const std::string& trace, const std::string& call, const std::string& fault) {
  std::ifstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(call + "(", 0) == 0 && line.find("(INJECTED)") != std::string::npos) {
      return true;
    }
    if (line == "--- " + fault || line.rfind("--- " + fault + " ", 0) == 0 ||
        line == "+++ killed by " + fault + " +++") {
      return true;
    }
  }
  return false;
}

bool late_call(const Call& call, const Trace& trace) {
  return call.position > trace.commit &&
         (call.name == "fsync" || call.name == "fdatasync" || call.name == "close");
}

TEST_P(PosixFaultSweep, NoFailingCallLosesDataOrLeavesAnything) {
  if (kSanitizedBuild) {
    GTEST_SKIP() << "the sanitizer's runtime maps memory of its own and cannot survive a "
                    "failure there; the plain build is swept";
  }
  ASSERT_EQ(system("strace -V >/dev/null 2>&1"), 0) << "the sweep needs strace";
  const std::string clean = traces_ / "clean";
  ASSERT_EQ(judge(run(clean, {}), false), "");
  ASSERT_TRUE(read_file(dir_ / "data.arc") == new_) << "the clean run did not repair";
  const Trace trace = parse_trace(clean);
  ASSERT_FALSE(trace.calls.empty()) << "the trace never names the file";
  ASSERT_GT(trace.commit, 0u) << "the trace has no commit";

  int runs = 0;
  int calls = 0;
  int violations = 0;
  std::map<std::string, int> kinds;
  std::map<std::string, int> errors;
  std::map<std::string, int> signals;
  for (const Call& call : trace.calls) {
    // Without RENAME_NOREPLACE, renameat2 is refused every time already.
    if (GetParam().new_file == NewFile::no_noreplace && call.name == "renameat2") continue;
    ++kinds[call.name];
    ++calls;
    for (const std::string& fault : faults_for(call.name, GetParam().under_nohup)) {
      const bool signal = fault.rfind("SIG", 0) == 0;
      ++(signal ? signals : errors)[fault];
      ++runs;
      const std::string injected = traces_ / "injected";
      const Outcome outcome =
          run(injected, {"inject=" + call.name + (signal ? ":signal=" : ":error=") + fault +
                         ":when=" + std::to_string(call.occurrence)});
      std::string verdict =
          signal ? judge_signalled(outcome, fault) : judge(outcome, late_call(call, trace));
      if (verdict.empty() && !was_injected(injected, call.name, fault)) {
        verdict = "the fault was never injected: the calls differ from the clean run";
      }
      if (verdict.empty()) continue;
      if (++violations <= 20) {
        ADD_FAILURE() << call.name << " #" << call.occurrence << " with " << fault << ": "
                      << verdict;
      }
    }
  }
  std::printf(
      "fault sweep %s: %d runs, %d calls of %zu kinds, %zu errors, %zu signals, %d violations\n",
      describe(GetParam()).c_str(), runs, calls, kinds.size(), errors.size(), signals.size(),
      violations);
  EXPECT_EQ(violations, 0);
}

std::vector<Scenario> all_scenarios() {
  std::vector<Scenario> all;
  for (NewFile new_file : {NewFile::unnamed, NewFile::named, NewFile::no_noreplace}) {
    for (Copy copy : {Copy::kernel, Copy::refused, Copy::stops}) {
      for (bool taken : {false, true}) all.push_back({taken, copy, new_file});
    }
  }
  for (NewFile new_file : {NewFile::unnamed, NewFile::named}) {
    all.push_back({false, Copy::kernel, new_file, true});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Calls, PosixFaultSweep, ::testing::ValuesIn(all_scenarios()),
                         [](const auto& p) { return describe(p.param); });

}  // namespace
}  // namespace e2e
