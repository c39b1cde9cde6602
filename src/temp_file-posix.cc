// The new file on POSIX systems: an O_TMPFILE file, which has no name until
// it is linked in complete, or where the file system has none, a file with a
// hidden unique name that a signal handler removes.

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>

#include <cstdint>
#include <cstring>

#include "descriptor-posix.h"
#include "ending_signals.h"
#include "take_over.h"
#include "temp_file.h"

namespace arcmend {

namespace {

// The named file to remove if the process is ended by a signal while it
// exists. Only one exists at a time.
volatile sig_atomic_t cleanup_armed = 0;
int cleanup_directory = -1;
char cleanup_name[32];

void remove_hidden() {
  if (cleanup_armed) ::unlinkat(cleanup_directory, cleanup_name, 0);
}

// Past a file-size limit a write then fails with EFBIG instead of killing
// the process, and the failure is reported.
struct sigaction saved_xfsz;
bool xfsz_replaced = false;

void ignore_sigxfsz() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  xfsz_replaced = ::sigaction(SIGXFSZ, &ignore, &saved_xfsz) == 0;
}

void restore_sigxfsz() {
  if (xfsz_replaced) (void)::sigaction(SIGXFSZ, &saved_xfsz, nullptr);
  xfsz_replaced = false;
}

void arm_cleanup(int directory, const std::string& name) {
  cleanup_directory = directory;
  std::memcpy(cleanup_name, name.c_str(), name.size() + 1);
  cleanup_armed = 1;
}

std::string directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return std::string(path, slash);
}

std::string unique_name() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char noise[8];
  if (::getrandom(noise, sizeof noise, GRND_NONBLOCK) != sizeof noise) {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t seed =
        static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(::getpid()) << 32);
    std::memcpy(noise, &seed, sizeof noise);
  }
  std::string name = ".arcmend-";
  for (unsigned char c : noise) name += kLetters[c % (sizeof kLetters - 1)];
  return name;
}

// Where the file has no name, /proc/self/fd is how it gets one: linkat()
// with AT_EMPTY_PATH needs a capability that ordinary users lack.
std::string proc_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// An unnamed file in `directory`, or -1 with errno set. Refused (EOPNOTSUPP)
// where it could not be named later, for want of /proc.
int create_unnamed(int directory) {
  const int fd = open_retrying(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (::lstat(proc_path(fd).c_str(), &st) != 0) {
    ::close(fd);
    errno = EOPNOTSUPP;
    return -1;
  }
  return fd;
}

bool unnamed_unsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT;
}

// Creates a new file in `directory`, never opening an existing one, and
// arms the cleanup for it; `name` is set only when it succeeds.
int create_named(int directory, std::string& name) {
  const EndingSignalsHeld held;
  if (!held.held()) return -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = unique_name();
    const int fd = open_retrying(directory, candidate.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      name = candidate;
      arm_cleanup(directory, name);
    }
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool link_unnamed(int fd, int directory, const char* name) {
  return ::linkat(AT_FDCWD, proc_path(fd).c_str(), directory, name, AT_SYMLINK_FOLLOW) == 0;
}

// Links the unnamed file under a unique name in `directory`, and arms the
// cleanup for it.
bool link_aside(int fd, int directory, std::string& name) {
  const EndingSignalsHeld held;
  if (!held.held()) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = unique_name();
    if (link_unnamed(fd, directory, candidate.c_str())) {
      name = candidate;
      arm_cleanup(directory, name);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool sync_to_disk(int fd) {
  int synced;
  do {
    synced = ::fsync(fd);
  } while (synced != 0 && errno == EINTR);
  if (synced == 0) return true;
  // Some file systems have no stable storage to sync to.
  return errno == EINVAL || errno == EROFS;
}

// Whether a plain rewrite could have opened `name` for writing: a
// read-only file is never replaced, even though its directory would allow it.
bool may_replace(const char* name) {
  const int fd = open_retrying(AT_FDCWD, name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  ::close(fd);  // nothing was written through it
  return true;
}

// A FUSE file system replaces a name its own way, and one of them (ntfs-3g,
// for a long name) links the old file under a name of its making first and
// can leave that name behind. So there, a link that the replaced file still
// has in the folder afterwards is found and removed. Best effort: the
// repair is done either way.
class ReplacedFile {
 public:
  ReplacedFile(int directory, const char* name) : directory_(directory) {
    constexpr long kFuseMagic = 0x65735546;
    struct statfs fs;
    watched_ = ::fstatfs(directory, &fs) == 0 && fs.f_type == kFuseMagic &&
               ::fstatat(AT_FDCWD, name, &before_, AT_SYMLINK_NOFOLLOW) == 0 &&
               before_.st_nlink == 1;
  }

  void remove_stray_links() const {
    if (!watched_) return;
    const int fd = open_retrying(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (folder == nullptr) {
      if (fd >= 0) ::close(fd);
      return;
    }
    while (const dirent* entry = ::readdir(folder)) {
      struct stat st;
      if (entry->d_ino == before_.st_ino &&
          ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          st.st_ino == before_.st_ino && st.st_dev == before_.st_dev) {
        (void)::unlinkat(fd, entry->d_name, 0);
      }
    }
    (void)::closedir(folder);
  }

 private:
  int directory_;
  bool watched_;
  struct stat before_ {};
};

bool close_fd(std::intptr_t& handle) {
  const int fd = static_cast<int>(handle);
  handle = -1;
  return ::close(fd) == 0;
}

}  // namespace

TempFile::TempFile(const char* beside) : on_ending_(remove_hidden), handle_(-1), directory_(-1) {
  // Readable, not just O_PATH, so that it can be synced.
  directory_ =
      open_retrying(AT_FDCWD, directory_of(beside).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory_ < 0) return;
  ignore_sigxfsz();
  const int directory = static_cast<int>(directory_);
  handle_ = create_unnamed(directory);
  if (handle_ >= 0 || !unnamed_unsupported(errno)) return;
  handle_ = create_named(directory, name_);
}

TempFile::~TempFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  if (!name_.empty() && !committed_) {
    ::unlinkat(static_cast<int>(directory_), name_.c_str(), 0);
  }
  cleanup_armed = 0;
  if (directory_ >= 0) {
    restore_sigxfsz();
    ::close(static_cast<int>(directory_));
  }
}

bool TempFile::created() const { return handle_ >= 0; }

bool TempFile::has_length(std::uint64_t length) const {
  struct stat st;
  return ::fstat(static_cast<int>(handle_), &st) == 0 &&
         static_cast<std::uint64_t>(st.st_size) == length;
}

bool TempFile::finish(std::intptr_t old_file) {
  return take_over_attributes(old_file, handle_) && sync_to_disk(static_cast<int>(handle_));
}

bool TempFile::commit(const char* name) {
  if (!created() || !may_replace(name)) return false;
  const int fd = static_cast<int>(handle_);
  const int directory = static_cast<int>(directory_);
  if (name_.empty()) {
    // A link never replaces: this is the whole commit when the backup has
    // made the name free.
    if (link_unnamed(fd, AT_FDCWD, name)) return committed_ = true;
    // Otherwise it takes a name of its own first, and then the file's name
    // in one atomic step.
    if (errno != EEXIST || !link_aside(fd, directory, name_)) return false;
  }
  const ReplacedFile replaced(directory, name);
  if (::renameat(directory, name_.c_str(), AT_FDCWD, name) != 0) return false;
  cleanup_armed = 0;  // the hidden name is gone
  committed_ = true;
  replaced.remove_stray_links();
  return true;
}

// The file is synced again under its name: btrfs logs a file's name with
// the file, and without it a power cut after the directory's sync could
// leave the name holding an empty file.
bool TempFile::make_durable() {
  const bool synced = sync_to_disk(static_cast<int>(handle_));
  return close_fd(handle_) && synced && sync_to_disk(static_cast<int>(directory_));
}

}  // namespace arcmend
