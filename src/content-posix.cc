// The old content on POSIX systems. The kernel copies it into the new file
// with copy_file_range, page cache to page cache, so it never passes through
// the tool's memory. Whatever the kernel refuses (an old kernel, some FUSE
// and network file systems) or fails is read through a small buffer from
// where the kernel stopped; that also tells a read failure from a write
// failure.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "content.h"
#include "descriptor-posix.h"
#include "temp_file.h"

namespace arcmend {

namespace {

// Small enough to cost nothing to hold, large enough that the pipe behind
// write_out() moves it in one round.
constexpr std::size_t kBuffer = 1 << 20;
// copy_file_range moves at most this much a call.
constexpr std::uint64_t kMostPerCopy = 1 << 30;

bool is_regular(int fd, struct stat& st) { return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode); }

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

enum class KernelCopy { done, ended_early, stopped };

// Copies from `from` at `offset` to the end of `to`, advancing `offset` and
// `length` past what reached it.
KernelCopy copy_in_kernel(int from, int to, off_t& offset, std::uint64_t& length) {
  while (length > 0) {
    const ssize_t n = ::copy_file_range(
        from, &offset, to, nullptr, static_cast<std::size_t>(std::min(length, kMostPerCopy)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return KernelCopy::stopped;
    if (n == 0) return KernelCopy::ended_early;
    length -= static_cast<std::uint64_t>(n);
  }
  return KernelCopy::done;
}

CopyResult copy_through_buffer(int from, TempFile& temp, off_t offset, std::uint64_t length) {
  const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBuffer]);
  if (!buffer) return CopyResult::cannot_read;
  while (length > 0) {
    const ssize_t n =
        ::pread(from, buffer.get(),
                static_cast<std::size_t>(std::min<std::uint64_t>(length, kBuffer)), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return CopyResult::cannot_read;
    if (!temp.write(buffer.get(), static_cast<std::size_t>(n))) return CopyResult::cannot_write;
    offset += n;
    length -= static_cast<std::uint64_t>(n);
  }
  return CopyResult::copied;
}

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
    Descriptor fd(open_retrying(AT_FDCWD, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || !is_regular(fd.get(), st)) return LoadResult::cannot_open;
    content.loaded_ = stamp_of(st);
    content.file_ = fd.release();
    return LoadResult::loaded;
  }

  static Content::Stamp stamp_of(const struct stat& st) {
    Content::Stamp stamp;
    stamp.size = static_cast<std::uint64_t>(st.st_size);
    stamp.modified = nanoseconds(st.st_mtim);
    stamp.changed = nanoseconds(st.st_ctim);
    return stamp;
  }
};

Content::~Content() { release(); }

CopyResult Content::copy_to(TempFile& temp, std::uint64_t offset, std::uint64_t length) const {
  const int from = static_cast<int>(file_);
  off_t at = static_cast<off_t>(offset);
  switch (copy_in_kernel(from, static_cast<int>(temp.handle()), at, length)) {
    case KernelCopy::done:
      return CopyResult::copied;
    case KernelCopy::ended_early:  // it shrank
      return CopyResult::cannot_read;
    case KernelCopy::stopped:
      break;
  }
  return copy_through_buffer(from, temp, at, length);
}

bool Content::unchanged() const {
  struct stat st;
  return file_ < 0 ||
         (::fstat(static_cast<int>(file_), &st) == 0 && ContentLoader::stamp_of(st) == loaded_);
}

// Nothing was written through the file, so its close has nothing to report.
void Content::release() {
  if (file_ >= 0) (void)::close(static_cast<int>(file_));
  file_ = -1;
}

LoadResult load_file(const char* name, Content& content) {
  return ContentLoader::load(name, content);
}

}  // namespace arcmend
