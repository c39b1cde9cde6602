// The file to repair on POSIX systems.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "descriptor-posix.h"
#include "old_file.h"

namespace arcmend {

namespace {

std::int64_t nanoseconds(const struct statx_timestamp& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The attributes as the file system has them now. FUSE and NFS clients
// may answer an fstat from what they cached up to a second earlier, and a
// change made just before the repair then looks like one made during it.
bool stat_now(int fd, struct statx& st) {
  return ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC,
                 STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_CTIME, &st) == 0;
}

FileStamp stamp_of(const struct statx& st) {
  FileStamp stamp;
  stamp.size = st.stx_size;
  stamp.modified = nanoseconds(st.stx_mtime);
  stamp.changed = nanoseconds(st.stx_ctime);
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
  struct statx opened;
  if (!fd.valid() || !stat_now(fd.get(), opened) || !S_ISREG(opened.stx_mode)) {
    return OpenResult::cannot_open;
  }
  // O_NONBLOCK is the only status flag set.
  if (::fcntl(fd.get(), F_SETFL, 0) != 0) return OpenResult::cannot_load;
  file.opened_ = stamp_of(opened);
  file.handle_ = fd.release();
  return OpenResult::opened;
}

OldFile::~OldFile() { close(); }

bool OldFile::unchanged() const {
  struct statx now;
  return handle_ < 0 || (stat_now(static_cast<int>(handle_), now) && stamp_of(now) == opened_);
}

// Nothing was written through the file, so its close has nothing to report.
void OldFile::close() {
  if (handle_ >= 0) (void)::close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace arcmend
