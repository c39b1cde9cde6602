// Preloaded into the tool: every mapping of a file fails with ENODEV, as on
// a file system that cannot map files. Anonymous mappings pass through.

#include <dlfcn.h>
#include <errno.h>
#include <sys/mman.h>

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd,
                      off_t offset) {
  if (fd >= 0 && (flags & MAP_ANONYMOUS) == 0) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  using Mmap = void* (*)(void*, size_t, int, int, int, off_t);
  static const Mmap real = reinterpret_cast<Mmap>(dlsym(RTLD_NEXT, "mmap"));
  return real(address, length, protection, flags, fd, offset);
}
