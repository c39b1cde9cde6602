// A test helper for the Windows build:
//   set FILE SDDL        gives FILE the DACL of an SDDL string (protected if
//                        it says P)
//   get FILE             prints FILE's DACL as SDDL
//   hold FILE COMMAND    runs the command line COMMAND while FILE is open,
//                        shared for reading and writing but not for deletion;
//                        exits with COMMAND's status, or kNoSharing where a
//                        second open that asks to delete FILE is not refused
//   version FILE         prints FILE's version resource, as Windows reads it

#include <windows.h>
// After windows.h:
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int kNoSharing = 99;

int set_dacl(const char* file, const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return 2;
  }
  const BOOL done = SetFileSecurityA(file, DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  return done ? 0 : 1;
}

int print_dacl(const char* file) {
  DWORD needed = 0;
  GetFileSecurityA(file, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(LocalAlloc(LMEM_FIXED, needed));
  char* sddl = nullptr;
  const bool done =
      descriptor != nullptr &&
      GetFileSecurityA(file, DACL_SECURITY_INFORMATION, descriptor, needed, &needed) &&
      ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr);
  if (done) std::printf("%s\n", sddl);
  LocalFree(sddl);
  LocalFree(descriptor);
  return done ? 0 : 1;
}

bool opens_for_deletion(const char* file) {
  HANDLE h = CreateFileA(file, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

int run_command(const char* command) {
  std::string line = command;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return 3;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 3;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

int hold_while_running(const char* file, const char* command) {
  HANDLE held = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 2;
  const int status = opens_for_deletion(file) ? kNoSharing : run_command(command);
  CloseHandle(held);
  return status;
}

std::string dotted(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
         std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

int print_version(const char* file) {
  DWORD ignored = 0;
  std::vector<char> data(GetFileVersionInfoSizeA(file, &ignored));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (data.empty() || !GetFileVersionInfoA(file, 0, static_cast<DWORD>(data.size()), data.data()) ||
      !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length)) {
    return 1;
  }
  std::printf("Fixed: %s, product %s\n",
              dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str(),
              dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
  for (const char* name : {"FileDescription", "ProductName", "FileVersion", "ProductVersion",
                           "OriginalFilename", "LegalCopyright"}) {
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    char* value = nullptr;
    if (VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
      std::printf("%s: %s\n", name, value);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::strcmp(argv[1], "set") == 0) return set_dacl(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "get") == 0) return print_dacl(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "hold") == 0) return hold_while_running(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "version") == 0) return print_version(argv[2]);
  std::fprintf(stderr,
               "usage: win32_helper set FILE SDDL | get FILE | hold FILE COMMAND | version FILE\n");
  return 2;
}
