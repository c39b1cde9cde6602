// Preloaded into the tool: every open with O_TMPFILE fails with EOPNOTSUPP,
// as on a file system without unnamed files, so that the named new file is
// what is tested.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>

#include <cstdarg>

extern "C" int openat(int directory, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  using Openat = int (*)(int, const char*, int, ...);
  static const Openat real = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat"));
  return real(directory, path, flags, mode);
}
