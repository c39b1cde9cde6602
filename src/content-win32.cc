// The old content on Windows. The file's mapping is held from the load to
// the end of the write-out, so Windows refuses to cut the file shorter
// meanwhile, and the content is copied out through views of one window at a
// time, mapped and unmapped in turn: the address space a repair takes does
// not grow with the file. A file that cannot be mapped is read through a
// buffer of the window's size.

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "content.h"
#include "handle-win32.h"
#include "temp_file.h"

namespace arcmend {

namespace {

// A multiple of the allocation granularity (64 KiB), so that every window
// starts where a view may, and large enough that mapping a view costs
// little beside copying it. Larger windows were no faster; see
// doc/performance.md.
constexpr std::uint64_t kWindow = 4u << 20;

bool is_plain_file(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::int64_t as_count(const FILETIME& t) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime);
}

DWORD high_part(std::uint64_t n) { return static_cast<DWORD>(n >> 32); }
DWORD low_part(std::uint64_t n) { return static_cast<DWORD>(n & 0xffffffffu); }

// One window's view, unmapped on destruction.
class View {
 public:
  View(HANDLE mapping, std::uint64_t start, std::size_t length)
      : data_(static_cast<const unsigned char*>(
            MapViewOfFile(mapping, FILE_MAP_READ, high_part(start), low_part(start), length))) {}
  ~View() {
    if (data_ != nullptr) (void)UnmapViewOfFile(data_);
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  const unsigned char* data() const { return data_; }

 private:
  const unsigned char* data_;
};

// The piece [offset, offset + length) of a file of `size` bytes, through the
// views of the windows it spans.
CopyResult copy_through_views(HANDLE mapping, std::uint64_t size, TempFile& temp,
                              std::uint64_t offset, std::uint64_t length) {
  while (length > 0) {
    const std::uint64_t start = offset - offset % kWindow;
    const std::size_t span = static_cast<std::size_t>(std::min(kWindow, size - start));
    const View view(mapping, start, span);
    if (view.data() == nullptr) return CopyResult::cannot_read;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, start + span - offset));
    if (!temp.write(view.data() + (offset - start), n)) return CopyResult::cannot_write;
    offset += n;
    length -= n;
  }
  return CopyResult::copied;
}

CopyResult copy_through_buffer(HANDLE file, TempFile& temp, std::uint64_t offset,
                               std::uint64_t length) {
  void* buffer = VirtualAlloc(nullptr, kWindow, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (buffer == nullptr) return CopyResult::cannot_read;
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  CopyResult result = SetFilePointerEx(file, position, nullptr, FILE_BEGIN)
                          ? CopyResult::copied
                          : CopyResult::cannot_read;
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  while (result == CopyResult::copied && length > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min(length, kWindow));
    if (!transfer_all(file, bytes, n, ReadFile)) {
      result = CopyResult::cannot_read;
    } else if (!temp.write(bytes, n)) {
      result = CopyResult::cannot_write;
    }
    length -= n;
  }
  (void)VirtualFree(buffer, 0, MEM_RELEASE);
  return result;
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
    if (!stamp_of(file.get(), content.loaded_)) return LoadResult::cannot_load;
    // An empty file has no mapping; one that cannot be mapped is read.
    if (content.loaded_.size > 0) {
      content.mapping_ = reinterpret_cast<std::intptr_t>(
          CreateFileMappingA(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    }
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
};

Content::~Content() { release(); }

CopyResult Content::copy_to(TempFile& temp, std::uint64_t offset, std::uint64_t length) const {
  if (length == 0) return CopyResult::copied;
  if (mapping_ != 0) {
    return copy_through_views(as_handle(mapping_), loaded_.size, temp, offset, length);
  }
  return copy_through_buffer(as_handle(file_), temp, offset, length);
}

bool Content::unchanged() const {
  Stamp now;
  return file_ == -1 || (ContentLoader::stamp_of(as_handle(file_), now) && now == loaded_);
}

// Nothing was written through the file, so its close has nothing to report.
void Content::release() {
  if (mapping_ != 0) (void)CloseHandle(as_handle(mapping_));
  mapping_ = 0;
  if (file_ != -1) (void)CloseHandle(as_handle(file_));
  file_ = -1;
}

LoadResult load_file(const char* name, Content& content) {
  return ContentLoader::load(name, content);
}

}  // namespace arcmend
