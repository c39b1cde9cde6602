// A test helper for the Windows build: "dacl_tool set FILE SDDL" gives FILE
// the DACL of an SDDL string (protected if it says P); "dacl_tool get FILE"
// prints FILE's DACL as SDDL.

#include <windows.h>
// After windows.h:
#include <sddl.h>

#include <cstdio>
#include <cstring>

namespace {

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

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::strcmp(argv[1], "set") == 0) return set_dacl(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "get") == 0) return print_dacl(argv[2]);
  std::fprintf(stderr, "usage: dacl_tool set FILE SDDL | get FILE\n");
  return 2;
}
