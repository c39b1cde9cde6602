// A file descriptor's owner, for the POSIX implementations only.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace arcmend {

// Owns a descriptor until it is released to its next owner.
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
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

inline int open_retrying(int directory, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(directory, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace arcmend
