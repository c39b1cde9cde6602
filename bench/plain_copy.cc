// The Windows baseline for bench/run: a plain copy through a 128 KiB
// buffer with ReadFile and WriteFile, as a simple copy tool would make it.
// plain_copy FROM TO; exits 1 on any failure.

#include <windows.h>

int main(int argc, char* argv[]) {
  if (argc != 3) return 1;
  const HANDLE from = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  const HANDLE to = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (from == INVALID_HANDLE_VALUE || to == INVALID_HANDLE_VALUE) return 1;
  static char buffer[128 << 10];
  for (;;) {
    DWORD read = 0, written = 0;
    if (!ReadFile(from, buffer, sizeof buffer, &read, nullptr)) return 1;
    if (read == 0) break;
    if (!WriteFile(to, buffer, read, &written, nullptr) || written != read) return 1;
  }
  return CloseHandle(from) && CloseHandle(to) ? 0 : 1;
}
