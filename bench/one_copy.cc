// bench/run's floor on Linux: the rotated bytes of SOURCE copied by the
// kernel into a new file TARGET, with no backup, no sync and no checks
// beyond the calls' own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

bool copy_range(int from, off_t offset, int to, off_t length) {
  while (length > 0) {
    const ssize_t n = copy_file_range(from, &offset, to, nullptr, static_cast<size_t>(length), 0);
    if (n <= 0) return false;
    length -= n;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  struct stat st;
  const int from = argc == 3 ? open(argv[1], O_RDONLY) : -1;
  const int to = from >= 0 ? open(argv[2], O_WRONLY | O_CREAT | O_EXCL, 0644) : -1;
  if (to < 0 || fstat(from, &st) != 0 || st.st_size < 2 ||
      !copy_range(from, 2, to, st.st_size - 2) || !copy_range(from, 0, to, 2) || close(to) != 0) {
    std::perror("one_copy SOURCE TARGET");
    return 1;
  }
  return 0;
}
