// Loading on POSIX systems. The content block is an anonymous mapping, so
// that it can be backed by huge pages: faulting in a large block 4 KiB at a
// time costs more than reading the file into it.

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>

#include "content.h"
#include "descriptor-posix.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

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
    Descriptor fd(open_retrying(AT_FDCWD, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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
    if (!read_exactly(fd.get(), content.data_, size, 0) || !at_end(fd.get(), st.st_size)) {
      return LoadResult::cannot_load;
    }
    content.file_ = fd.release();
    return LoadResult::loaded;
  }
};

Content::~Content() {
  close_file();
  if (data_ != nullptr) ::munmap(data_, size_);
}

// Nothing was written through it, so its close has nothing to report.
void Content::close_file() {
  if (file_ >= 0) (void)::close(static_cast<int>(file_));
  file_ = -1;
}

LoadResult load_file(const char* name, Content& content) {
  return ContentLoader::load(name, content);
}

}  // namespace arcmend
