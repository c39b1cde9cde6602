// Copying on POSIX systems. The kernel copies with copy_file_range, page
// cache to page cache, so the bytes never pass through the tool's memory.
// Whatever it refuses or stops short on (an error, or a 0 before the end,
// as some kernels across file systems and some FUSE and network file
// systems give) is copied from where it stopped with pread and write
// through one buffer. That also tells a read failure from a write failure,
// and a file that really ended early shows there as a short read.

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "copy.h"

namespace arcmend {

namespace {

constexpr std::size_t kBuffer = 128 << 10;
// Set aside when the program is loaded, so that no allocation can fail
// here; its pages are taken only once a copy goes through it.
unsigned char buffer[kBuffer];
// copy_file_range moves at most this much a call.
constexpr std::uint64_t kMostPerCall = 1 << 30;

// Advances `offset` and `length` past what the kernel copied.
void copy_in_kernel(int from, off_t& offset, int to, std::uint64_t& length) {
  while (length > 0) {
    const ssize_t n = ::copy_file_range(
        from, &offset, to, nullptr, static_cast<std::size_t>(std::min(length, kMostPerCall)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    length -= static_cast<std::uint64_t>(n);
  }
}

bool write_all(int to, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(to, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

CopyResult copy_through_buffer(int from, off_t offset, int to, std::uint64_t length) {
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, kBuffer));
    const ssize_t n = ::pread(from, buffer, want, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return CopyResult::cannot_read;
    if (!write_all(to, buffer, static_cast<std::size_t>(n))) return CopyResult::cannot_write;
    offset += n;
    length -= static_cast<std::uint64_t>(n);
  }
  return CopyResult::copied;
}

}  // namespace

CopyResult copy_range(std::intptr_t from, std::uint64_t offset, std::intptr_t to,
                      std::uint64_t length) {
  off_t at = static_cast<off_t>(offset);
  copy_in_kernel(static_cast<int>(from), at, static_cast<int>(to), length);
  if (length == 0) return CopyResult::copied;
  return copy_through_buffer(static_cast<int>(from), at, static_cast<int>(to), length);
}

}  // namespace arcmend
