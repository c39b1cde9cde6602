// Loading on Windows. The block is a read-only view of a mapping of the
// file, so nothing is allocated or copied before the new file is written
// from it; while it is mapped, Windows refuses to cut the file shorter. A
// file that cannot be mapped is read into a block straight from
// VirtualAlloc: a 32-bit process has no room to spare for a heap's own
// reservations beside a block of nearly 2 GiB.

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

bool at_end(HANDLE h, std::size_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  unsigned char byte;
  DWORD n = 0;
  return SetFilePointerEx(h, position, nullptr, FILE_BEGIN) && ReadFile(h, &byte, 1, &n, nullptr) &&
         n == 0;
}

unsigned char* map_file(HANDLE file, std::size_t size) {
  const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
  // The view keeps the mapping alive.
  (void)CloseHandle(mapping);
  return static_cast<unsigned char*>(view);
}

std::int64_t as_count(const FILETIME& t) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime);
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
    if (!stamp_of(file.get(), content.loaded_) || content.loaded_.size > PTRDIFF_MAX) {
      return LoadResult::cannot_load;
    }
    const std::size_t size = static_cast<std::size_t>(content.loaded_.size);
    if (size > 0 && !take_block(file.get(), size, content)) return LoadResult::cannot_load;
    // One that grew since its size was taken would lose its tail.
    if (!at_end(file.get(), size)) return LoadResult::cannot_load;
    content.file_ = reinterpret_cast<std::intptr_t>(file.release());
    return LoadResult::loaded;
  }

  static bool stamp_of(HANDLE file, Content::Stamp& stamp) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.modified = as_count(info.ftLastWriteTime);
    return true;
  }

 private:
  static bool take_block(HANDLE file, std::size_t size, Content& content) {
    content.data_ = map_file(file, size);
    content.mapped_ = content.data_ != nullptr;
    if (!content.mapped_) {
      content.data_ = static_cast<unsigned char*>(
          VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
    if (content.data_ == nullptr) return false;
    content.size_ = size;
    return content.mapped_ || transfer_all(file, content.data_, size, ReadFile);
  }
};

Content::~Content() { release(); }

bool Content::unchanged() const {
  Stamp now;
  return file_ == -1 ||
         (ContentLoader::stamp_of(reinterpret_cast<HANDLE>(file_), now) && now == loaded_);
}

// Nothing was written through the file, so its close has nothing to report.
void Content::release() {
  if (data_ != nullptr) {
    (void)(mapped_ ? UnmapViewOfFile(data_) : VirtualFree(data_, 0, MEM_RELEASE));
  }
  data_ = nullptr;
  size_ = 0;
  if (file_ != -1) (void)CloseHandle(reinterpret_cast<HANDLE>(file_));
  file_ = -1;
}

LoadResult load_file(const char* name, Content& content) {
  return ContentLoader::load(name, content);
}

}  // namespace arcmend
