// Loading on POSIX systems. The block is a private read-only mapping of the
// file: its pages are the page cache's own, so nothing is allocated, zeroed
// or copied before the new file is written from it. A file that cannot be
// mapped is read into an anonymous block instead.

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>

#include "content.h"
#include "descriptor-posix.h"

namespace arcmend {

namespace {

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

unsigned char* as_block(void* mapped) {
  return mapped == MAP_FAILED ? nullptr : static_cast<unsigned char*>(mapped);
}

unsigned char* map_file(int fd, std::size_t size) {
  return as_block(::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
}

unsigned char* allocate_block(std::size_t size) {
  return as_block(
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
}

bool is_regular(int fd, struct stat& st) { return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode); }

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
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
    if (static_cast<std::uintmax_t>(st.st_size) > PTRDIFF_MAX) {
      return LoadResult::cannot_load;
    }
    content.loaded_ = stamp_of(st);
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    if (size > 0 && !take_block(fd.get(), size, content)) return LoadResult::cannot_load;
    // One that grew since its size was taken would lose its tail.
    if (!at_end(fd.get(), st.st_size)) return LoadResult::cannot_load;
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

 private:
  static bool take_block(int fd, std::size_t size, Content& content) {
    content.data_ = map_file(fd, size);
    content.mapped_ = content.data_ != nullptr;
    if (!content.mapped_) content.data_ = allocate_block(size);
    if (content.data_ == nullptr) return false;
    content.size_ = size;
    return content.mapped_ || read_exactly(fd, content.data_, size, 0);
  }
};

Content::~Content() { release(); }

bool Content::unchanged() const {
  struct stat st;
  return file_ < 0 ||
         (::fstat(static_cast<int>(file_), &st) == 0 && ContentLoader::stamp_of(st) == loaded_);
}

// Nothing was written through the file, so its close has nothing to report.
void Content::release() {
  if (data_ != nullptr) (void)::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  if (file_ >= 0) (void)::close(static_cast<int>(file_));
  file_ = -1;
}

LoadResult load_file(const char* name, Content& content) {
  return ContentLoader::load(name, content);
}

}  // namespace arcmend
