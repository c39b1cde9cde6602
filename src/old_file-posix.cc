// The file to repair on POSIX systems.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "descriptor-posix.h"
#include "old_file.h"

namespace arcmend {

namespace {

bool is_regular(int fd, struct stat& st) { return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode); }

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileStamp stamp_of(const struct stat& st) {
  FileStamp stamp;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified = nanoseconds(st.st_mtim);
  stamp.changed = nanoseconds(st.st_ctim);
  return stamp;
}

}  // namespace

// Checked before opening, so that no device or FIFO is ever opened, and
// opened without blocking, in case it became one meanwhile. A regular
// file is then read blocking, like any other.
OpenResult OldFile::open(const char* name, OldFile& file) {
  struct stat st;
  if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) return OpenResult::cannot_open;
  Descriptor fd(open_retrying(AT_FDCWD, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid() || !is_regular(fd.get(), st)) return OpenResult::cannot_open;
  // O_NONBLOCK is the only status flag set.
  if (::fcntl(fd.get(), F_SETFL, 0) != 0) return OpenResult::cannot_load;
  file.opened_ = stamp_of(st);
  file.handle_ = fd.release();
  return OpenResult::opened;
}

OldFile::~OldFile() { close(); }

bool OldFile::unchanged() const {
  struct stat st;
  return handle_ < 0 || (::fstat(static_cast<int>(handle_), &st) == 0 && stamp_of(st) == opened_);
}

// Nothing was written through the file, so its close has nothing to report.
void OldFile::close() {
  if (handle_ >= 0) (void)::close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace arcmend
