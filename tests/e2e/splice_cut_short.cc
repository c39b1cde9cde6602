// Preloaded into the tool: splice() moves at most an odd 65537 bytes a call,
// and refuses with EINVAL, as a file system without splice support would,
// once ARCMEND_TEST_SPLICES calls have passed (default: never).

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>

#include <cstdlib>

extern "C" ssize_t splice(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t length,
                          unsigned int flags) {
  static const char* allowed_text = std::getenv("ARCMEND_TEST_SPLICES");
  static long left = allowed_text != nullptr ? std::atol(allowed_text) : -1;
  if (left == 0) {
    errno = EINVAL;
    return -1;
  }
  if (left > 0) --left;
  using Splice = ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned int);
  static const Splice real = reinterpret_cast<Splice>(dlsym(RTLD_NEXT, "splice"));
  return real(in, in_offset, out, out_offset, length < 65537 ? length : 65537, flags);
}
