// POSIX file operations. The content block is an anonymous mapping, so that
// it can be backed by huge pages: faulting in a large block 4 KiB at a time
// costs more than reading the file into it.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "file_io.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace arcmend {

namespace {

// Owns a descriptor; close() reports the result the destructor cannot.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Reads exactly `length` bytes from `offset`; false on an error or end of file.
bool read_exactly(int fd, unsigned char* data, std::size_t length, off_t offset) {
  while (length > 0) {
    const ssize_t n = ::pread(fd, data, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool at_end(int fd, off_t offset) {
  unsigned char byte;
  ssize_t n;
  do {
    n = ::pread(fd, &byte, 1, offset);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

unsigned char* allocate_block(std::size_t size) {
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  // Advice only: without huge pages the block still works, just slower.
  (void)::madvise(block, size, MADV_HUGEPAGE);
  // Taking all the memory now turns a shortage into a clean failure before
  // anything is read; kernels without MADV_POPULATE_WRITE answer EINVAL.
  if (::madvise(block, size, MADV_POPULATE_WRITE) != 0 && errno != EINVAL) {
    ::munmap(block, size);
    return nullptr;
  }
  return static_cast<unsigned char*>(block);
}

bool is_regular(int fd, struct stat& st) { return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode); }

}  // namespace

// Fills a Content; the one place that may.
class ContentLoader {
 public:
  static LoadResult load(const char* name, Content& content) {
    // Checked before opening, so that no device or FIFO is ever opened.
    struct stat st;
    if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) {
      return LoadResult::cannot_open;
    }
    Descriptor fd(open_retrying(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || !is_regular(fd.get(), st)) return LoadResult::cannot_open;
    if (static_cast<std::uintmax_t>(st.st_size) > PTRDIFF_MAX) {
      return LoadResult::cannot_load;
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    if (size > 0) {
      content.data_ = allocate_block(size);
      if (content.data_ == nullptr) return LoadResult::cannot_load;
      content.size_ = size;
    }
    if (!read_exactly(fd.get(), content.data_, size, 0) || !at_end(fd.get(), st.st_size) ||
        !fd.close()) {
      return LoadResult::cannot_load;
    }
    content.attributes_.mode = st.st_mode & 07777;
    content.attributes_.owner = st.st_uid;
    content.attributes_.group = st.st_gid;
    return LoadResult::loaded;
  }
};

Content::~Content() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

LoadResult load_file(const char* name, Content& content) {
  return ContentLoader::load(name, content);
}

namespace {

// The temporary file to remove if the process is ended by a signal while it
// exists. Only one exists at a time.
volatile sig_atomic_t cleanup_armed = 0;
int cleanup_directory = -1;
char cleanup_name[32];

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction saved_actions[sizeof kEndingSignals / sizeof kEndingSignals[0]];
struct sigaction saved_xfsz;

extern "C" void remove_temp_and_die(int sig) {
  if (cleanup_armed) ::unlinkat(cleanup_directory, cleanup_name, 0);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void arm_cleanup(int directory, const std::string& name) {
  cleanup_directory = directory;
  std::memcpy(cleanup_name, name.c_str(), name.size() + 1);
  struct sigaction action {};
  action.sa_handler = remove_temp_and_die;
  sigfillset(&action.sa_mask);
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    ::sigaction(kEndingSignals[i], &action, &saved_actions[i]);
  }
  // Past a file-size limit a write then fails with EFBIG instead of killing
  // the process with the temporary file half written.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &saved_xfsz);
  cleanup_armed = 1;
}

void disarm_cleanup() {
  cleanup_armed = 0;
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    ::sigaction(kEndingSignals[i], &saved_actions[i], nullptr);
  }
  ::sigaction(SIGXFSZ, &saved_xfsz, nullptr);
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

// Creates a new file in `directory`, never opening an existing one; `name`
// is set only when it succeeds.
int create_unique(int directory, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = unique_name();
    int fd;
    do {
      fd = ::openat(directory, candidate.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) name = candidate;
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool write_all(int fd, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Owner and group where allowed, then the permission bits. Bits that would
// open the file to a group or an owner it did not have are dropped.
bool copy_attributes(int fd, const FileAttributes& attributes) {
  unsigned mode = attributes.mode;
  const uid_t owner = static_cast<uid_t>(attributes.owner);
  const gid_t group = static_cast<gid_t>(attributes.group);
  if (::fchown(fd, owner, group) != 0) {
    mode &= ~static_cast<unsigned>(S_ISUID | S_ISGID);
    if (::fchown(fd, static_cast<uid_t>(-1), group) != 0) {
      mode &= ~static_cast<unsigned>(S_IRWXG);
    }
  }
  return ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
}

bool sync_to_disk(int fd) {
  if (::fsync(fd) == 0) return true;
  // Some file systems have no stable storage to sync to.
  return errno == EINVAL || errno == EROFS;
}

// Whether the Part's plain rewrite could have opened `name` for writing: a
// read-only file is never replaced, even though its directory would allow it.
bool may_replace(const char* name) {
  const int fd = open_retrying(name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  ::close(fd);  // nothing was written through it
  return true;
}

}  // namespace

TempFile::TempFile(const char* beside) : handle_(-1), directory_(-1) {
  directory_ = open_retrying(directory_of(beside).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directory_ < 0) return;
  handle_ = create_unique(static_cast<int>(directory_), name_);
  if (handle_ >= 0) arm_cleanup(static_cast<int>(directory_), name_);
}

TempFile::~TempFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  if (!name_.empty() && !committed_) {
    ::unlinkat(static_cast<int>(directory_), name_.c_str(), 0);
  }
  if (cleanup_armed) disarm_cleanup();
  if (directory_ >= 0) ::close(static_cast<int>(directory_));
}

bool TempFile::created() const { return handle_ >= 0; }

bool TempFile::write(const unsigned char* data, std::size_t length) {
  return write_all(static_cast<int>(handle_), data, length);
}

bool TempFile::finish(const FileAttributes& attributes) {
  Descriptor fd(static_cast<int>(handle_));
  handle_ = -1;
  return copy_attributes(fd.get(), attributes) && sync_to_disk(fd.get()) && fd.close();
}

bool TempFile::commit(const char* name) {
  if (handle_ >= 0 || !may_replace(name)) return false;
  if (::renameat(static_cast<int>(directory_), name_.c_str(), AT_FDCWD, name) != 0) {
    return false;
  }
  committed_ = true;
  return true;
}

namespace {

bool exists(const char* name) {
  struct stat st;
  return ::lstat(name, &st) == 0 || errno != ENOENT;
}

// For file systems without hard links (vfat): not atomic, so another
// process could take `to` between the check and the rename.
bool rename_if_free(const char* from, const char* to) {
  return !exists(to) && ::rename(from, to) == 0;
}

// A hard link never replaces either; for file systems that have no
// RENAME_NOREPLACE (NFS, some FUSE mounts).
bool rename_by_link(const char* from, const char* to) {
  if (::link(from, to) != 0) {
    if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) {
      return rename_if_free(from, to);
    }
    return false;
  }
  // Should the unlink fail, both names hold the old file until the commit
  // puts the new one in its place: the backup is made either way.
  (void)::unlink(from);
  return true;
}

}  // namespace

bool rename_noreplace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) return rename_by_link(from, to);
  return false;
}

}  // namespace arcmend
