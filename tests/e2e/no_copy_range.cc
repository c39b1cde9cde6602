// Preloaded into the tool: copy_file_range() copies at most an odd 65537
// bytes a call, and after ARCMEND_TEST_COPIES calls (default: none) fails
// with the error number ARCMEND_TEST_COPY_ERROR (default EXDEV), as a kernel
// or file system without it, or a failing one, would; with 0 it returns 0,
// as a copy that stops before the end does. ARCMEND_TEST_COPY_OVERSTATES=1
// has each call claim the whole length it was asked for, as a file
// system's faulty copy might.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

long from_environment(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::atol(text) : fallback;
}

}  // namespace

extern "C" ssize_t copy_file_range(int in, off_t* in_offset, int out, off_t* out_offset,
                                   size_t length, unsigned int flags) {
  static long left = from_environment("ARCMEND_TEST_COPIES", 0);
  if (left == 0) {
    errno = static_cast<int>(from_environment("ARCMEND_TEST_COPY_ERROR", EXDEV));
    return errno == 0 ? 0 : -1;
  }
  if (left > 0) --left;
  using Copy = ssize_t (*)(int, off_t*, int, off_t*, size_t, unsigned int);
  static const Copy real = reinterpret_cast<Copy>(dlsym(RTLD_NEXT, "copy_file_range"));
  static const bool overstates = from_environment("ARCMEND_TEST_COPY_OVERSTATES", 0) != 0;
  const ssize_t n = real(in, in_offset, out, out_offset, length < 65537 ? length : 65537, flags);
  return overstates && n > 0 ? static_cast<ssize_t>(length) : n;
}
