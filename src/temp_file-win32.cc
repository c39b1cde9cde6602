// The new file on Windows: a file with a hidden unique name, marked to be
// deleted when its handle closes until it is committed, so that a process
// ended by Ctrl+C, a closed console or a kill leaves nothing of it. It takes
// the old name with MoveFileExA, which refuses a read-only target, and is
// flushed under that name through its own handle, kept open throughout.
//
// The ending events are held back over the moments when the file is
// unmarked: just after its creation and just before its rename. So a
// Ctrl+C finds the file marked for deletion, or waits until it has the old
// name.

#include <windows.h>

#include <cstdint>
#include <string>

#include "ending_signals.h"
#include "handle-win32.h"
#include "take_over.h"
#include "temp_file.h"

namespace arcmend {

namespace {

std::string directory_prefix(const char* path) {
  const std::string p = path;
  const std::size_t end = p.find_last_of("\\/:");
  return end == std::string::npos ? std::string() : p.substr(0, end + 1);
}

std::string unique_name(unsigned attempt) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint32_t seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount() ^ (attempt * 40503u);
  std::string name = ".arcmend-";
  for (int i = 0; i < 8; ++i) {
    name += kLetters[seed % (sizeof kLetters - 1)];
    seed = seed * 1103515245u + 12345u;
  }
  return name;
}

bool delete_on_close(HANDLE h, bool yes) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = yes ? TRUE : FALSE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The file while it is unmarked for deletion never has this handle: the
// handler of an ending event marks it, and the steps that unmark it hold
// the ending events back.
HANDLE uncommitted = INVALID_HANDLE_VALUE;

void delete_uncommitted() {
  if (uncommitted != INVALID_HANDLE_VALUE) (void)delete_on_close(uncommitted, true);
}

// Write access, and what the take-over needs: to change the DACL and the
// owner, and to mark the file for deletion.
const DWORD kAccess = GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | DELETE;
// Shared for deletion, so that MoveFileExA may rename it while it is open.
const DWORD kSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// MoveFileExA refuses a read-only target on Windows, but not every
// implementation of it does (Wine replaces one).
bool is_read_only(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// A folder's entries reach the disk when its handle is flushed, where the
// file system allows that. Where it is refused (FAT, or no write access to
// the folder) the repair has still succeeded: the file itself is flushed
// under its name, and a journalled file system holds the renames in order
// before that flush.
void flush_folder(const std::string& folder) {
  Handle directory(CreateFileA(folder.empty() ? "." : folder.c_str(), GENERIC_WRITE, kSharing,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (directory.valid()) (void)FlushFileBuffers(directory.get());
}

}  // namespace

TempFile::TempFile(const char* beside)
    : on_ending_(delete_uncommitted),
      handle_(reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)),
      directory_(-1) {
  const std::string prefix = directory_prefix(beside);
  const EndingSignalsHeld held;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string path = prefix + unique_name(attempt);
    Handle file(CreateFileA(path.c_str(), kAccess, kSharing, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid()) {
      name_ = path;
      if (delete_on_close(file.get(), true)) {
        uncommitted = file.release();
        handle_ = reinterpret_cast<std::intptr_t>(uncommitted);
      } else if (file.close() && DeleteFileA(path.c_str())) {
        // Gone before the span ends, so that no Ctrl+C finds it unmarked;
        // the destructor tries again if the deletion failed.
        name_.clear();
      }
      return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return;
  }
}

TempFile::~TempFile() {
  const EndingSignalsHeld held;
  uncommitted = INVALID_HANDLE_VALUE;
  if (created()) CloseHandle(as_handle(handle_));
  if (!name_.empty() && !committed_) DeleteFileA(name_.c_str());
}

bool TempFile::created() const { return as_handle(handle_) != INVALID_HANDLE_VALUE; }

bool TempFile::has_length(std::uint64_t length) const {
  LARGE_INTEGER size;
  return GetFileSizeEx(as_handle(handle_), &size) &&
         static_cast<std::uint64_t>(size.QuadPart) == length;
}

bool TempFile::finish(std::intptr_t old_file) {
  return take_over_attributes(old_file, handle_) && FlushFileBuffers(as_handle(handle_));
}

// MOVEFILE_WRITE_THROUGH is kept, but promises nothing for a rename within
// one volume, and Wine syncs nothing: make_durable() flushes after it.
bool TempFile::commit(const char* name) {
  if (!created() || is_read_only(name)) return false;
  const EndingSignalsHeld held;
  const HANDLE file = as_handle(handle_);
  uncommitted = INVALID_HANDLE_VALUE;
  if (!delete_on_close(file, false)) return false;
  if (!MoveFileExA(name_.c_str(), name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    // Marked again, so that a Ctrl+C before the destructor leaves nothing;
    // failing that, deleted by name, which takes effect as the handle closes.
    if (delete_on_close(file, true)) {
      uncommitted = file;
    } else {
      (void)DeleteFileA(name_.c_str());
    }
    return false;
  }
  committed_ = true;
  return true;
}

// The handle followed the file to its name: the flush covers the file as
// named, and with it the renames before.
bool TempFile::make_durable() {
  Handle file(as_handle(handle_));
  handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
  const bool flushed = FlushFileBuffers(file.get()) != 0;
  flush_folder(directory_prefix(name_.c_str()));
  return file.close() && flushed;
}

}  // namespace arcmend
