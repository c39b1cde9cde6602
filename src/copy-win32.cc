// Copying on Windows, the way a plain copy does it: ReadFile and WriteFile
// at the files' positions, through one buffer. A mapped view would cost a
// page fault, or a walk of shadowed page tables, on every page that
// WriteFile reads from it; and under Wine a read at an OVERLAPPED offset
// asks its server about a completion port, one round trip a call.

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "copy.h"
#include "handle-win32.h"

namespace arcmend {

namespace {

constexpr DWORD kBuffer = 128 << 10;
// Set aside when the program is loaded, so that no allocation can fail
// here; its pages are taken only once a copy goes through it.
unsigned char buffer[kBuffer];

bool seek(HANDLE file, std::uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

// False on an error or at the end of the file.
bool read_some(HANDLE from, unsigned char* data, DWORD length, DWORD& got) {
  got = 0;
  return ReadFile(from, data, length, &got, nullptr) != 0 && got > 0;
}

bool write_all(HANDLE to, const unsigned char* data, DWORD length) {
  while (length > 0) {
    DWORD put = 0;
    if (!WriteFile(to, data, length, &put, nullptr) || put == 0) return false;
    data += put;
    length -= put;
  }
  return true;
}

}  // namespace

CopyResult copy_range(std::intptr_t from, std::uint64_t offset, std::intptr_t to,
                      std::uint64_t length) {
  if (length == 0) return CopyResult::copied;
  if (!seek(as_handle(from), offset)) return CopyResult::cannot_read;
  while (length > 0) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(length, kBuffer));
    if (!read_some(as_handle(from), buffer, want, got)) return CopyResult::cannot_read;
    if (!write_all(as_handle(to), buffer, got)) return CopyResult::cannot_write;
    length -= got;
  }
  return CopyResult::copied;
}

}  // namespace arcmend
