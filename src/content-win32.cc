// Loading on Windows. The content block comes straight from VirtualAlloc:
// a 32-bit process has no room to spare for a heap's own reservations
// beside a block of nearly 2 GiB.

#include <windows.h>

#include <cstdint>

#include "content.h"
#include "handle-win32.h"

namespace arcmend {

namespace {

bool is_plain_file(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool at_end(HANDLE h) {
  unsigned char byte;
  DWORD n = 0;
  return ReadFile(h, &byte, 1, &n, nullptr) && n == 0;
}

}  // namespace

// Fills a Content; the one place that may.
class ContentLoader {
 public:
  static LoadResult load(const char* name, Content& content) {
    if (!is_plain_file(name)) return LoadResult::cannot_open;
    Handle file(open_shared(name, GENERIC_READ, OPEN_EXISTING));
    // Device names such as CON or NUL open too, but are no files.
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) {
      return LoadResult::cannot_open;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > PTRDIFF_MAX) {
      return LoadResult::cannot_load;
    }
    const std::size_t length = static_cast<std::size_t>(size.QuadPart);
    if (length > 0) {
      content.data_ = static_cast<unsigned char*>(
          VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
      if (content.data_ == nullptr) return LoadResult::cannot_load;
      content.size_ = length;
    }
    if (!transfer_all(file.get(), content.data_, length, ReadFile) || !at_end(file.get())) {
      return LoadResult::cannot_load;
    }
    content.file_ = reinterpret_cast<std::intptr_t>(file.release());
    return LoadResult::loaded;
  }
};

Content::~Content() {
  close_file();
  if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
}

// Nothing was written through it, so its close has nothing to report.
void Content::close_file() {
  if (file_ != -1) (void)CloseHandle(reinterpret_cast<HANDLE>(file_));
  file_ = -1;
}

LoadResult load_file(const char* name, Content& content) {
  return ContentLoader::load(name, content);
}

}  // namespace arcmend
