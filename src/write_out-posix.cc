// Writing a block out on Linux. A large block goes through a pipe: vmsplice
// hands the pipe the block's own pages, found by walking the page tables in
// software, and splice copies them into the file through the kernel's own
// mapping of memory. A plain write() reads them through the process's
// mapping, which costs a fault or a page walk on every 4 KiB page: far more
// than the copy itself where page tables are shadowed, as in some virtual
// machines.

#include "write_out-posix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "descriptor-posix.h"

namespace arcmend {

namespace {

// Below this, the pipe's own system calls cost more than they save.
constexpr std::size_t kSpliceFrom = 1 << 20;
// Fewer rounds with a larger pipe; the system may refuse it.
constexpr int kPipeSize = 1 << 20;

bool write_plain(int fd, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Moves the `queued` bytes at the front of the pipe into the file, advancing
// `data` and `length` past each byte that reached it.
bool move_queued(int pipe_out, int fd, std::size_t queued, const unsigned char*& data,
                 std::size_t& length) {
  while (queued > 0) {
    const ssize_t n = ::splice(pipe_out, nullptr, fd, nullptr, queued, SPLICE_F_MOVE);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
    queued -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes what it can through a pipe, advancing `data` and `length` past what
// reached the file; false where a pipe or splice is refused or fails. What
// the pipe still holds then is discarded with it: it never reached the file.
bool write_spliced(int fd, const unsigned char*& data, std::size_t& length) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  const Descriptor pipe_out(ends[0]);
  const Descriptor pipe_in(ends[1]);
  (void)::fcntl(pipe_in.get(), F_SETPIPE_SZ, kPipeSize);
  while (length > 0) {
    struct iovec piece {
      const_cast<unsigned char*>(data), length
    };
    const ssize_t n = ::vmsplice(pipe_in.get(), &piece, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !move_queued(pipe_out.get(), fd, static_cast<std::size_t>(n), data, length)) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Whatever the pipe refused is written plainly, and a real failure (a full
// disk, a shrunk view) then shows there too.
bool write_out(int fd, const unsigned char* data, std::size_t length) {
  if (length >= kSpliceFrom && write_spliced(fd, data, length)) return true;
  return write_plain(fd, data, length);
}

}  // namespace arcmend
