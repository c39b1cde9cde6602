// The file to repair on Windows.

#include <windows.h>

#include <cstdint>

#include "handle-win32.h"
#include "old_file.h"

namespace arcmend {

namespace {

bool is_plain_file(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The change time moves with every change of content or attributes, also
// when a writer puts the last write time back.
bool stamp_of(HANDLE file, FileStamp& stamp) {
  LARGE_INTEGER size;
  FILE_BASIC_INFO times;
  if (!GetFileSizeEx(file, &size) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times)) {
    return false;
  }
  stamp.size = static_cast<std::uint64_t>(size.QuadPart);
  stamp.modified = times.LastWriteTime.QuadPart;
  stamp.changed = times.ChangeTime.QuadPart;
  return true;
}

}  // namespace

OpenResult OldFile::open(const char* name, OldFile& file) {
  if (!is_plain_file(name)) return OpenResult::cannot_open;
  Handle opened(open_shared(name, GENERIC_READ, OPEN_EXISTING));
  // Device names such as CON or NUL open too, but are no files.
  if (!opened.valid() || GetFileType(opened.get()) != FILE_TYPE_DISK) {
    return OpenResult::cannot_open;
  }
  if (!stamp_of(opened.get(), file.opened_)) return OpenResult::cannot_load;
  file.handle_ = reinterpret_cast<std::intptr_t>(opened.release());
  return OpenResult::opened;
}

OldFile::~OldFile() { close(); }

bool OldFile::unchanged() const {
  FileStamp now;
  return handle_ == -1 || (stamp_of(as_handle(handle_), now) && now == opened_);
}

// Nothing was written through the file, so its close has nothing to report.
void OldFile::close() {
  if (handle_ != -1) (void)CloseHandle(as_handle(handle_));
  handle_ = -1;
}

}  // namespace arcmend
