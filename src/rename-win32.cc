// The backup's rename on Windows: MoveFileA never replaces a file.

#include "rename-win32.h"

#include <windows.h>

namespace arcmend {

// A sharing violation (the file held open without delete sharing), a
// denied access or an I/O error must not let the repair replace the file.
RenameResult unmoved(unsigned long error) {
  switch (error) {
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_FILENAME_EXCED_RANGE:
      return RenameResult::name_taken;
    default:
      return RenameResult::failed;
  }
}

// A longer result does not fit the buffer: its size is returned instead,
// or by Wine nothing, with ERROR_FILENAME_EXCED_RANGE.
bool beyond_path_limit(const char* name) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(name, MAX_PATH, full, nullptr);
  return length >= MAX_PATH || (length == 0 && GetLastError() == ERROR_FILENAME_EXCED_RANGE);
}

// Windows refuses a target beyond the path limit, but Wine would make it;
// it is checked here so that such a backup name is never made on either.
RenameResult rename_noreplace(const char* from, const char* to) {
  if (beyond_path_limit(to)) return RenameResult::name_taken;
  return MoveFileA(from, to) != 0 ? RenameResult::renamed : unmoved(GetLastError());
}

}  // namespace arcmend
