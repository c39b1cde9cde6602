// What the new file takes over on Windows: the old file's DACL as it stands,
// protected or not, its inherited entries still marked inherited; and the
// owner where the process may set it. SetKernelObjectSecurity, not
// SetSecurityInfo: it takes the DACL as given, where SetSecurityInfo would
// add what the folder passes on now, and Wine's drops the DACL altogether,
// leaving the file open to everyone.

#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include "take_over.h"

namespace arcmend {

namespace {

class LocalMemory {
 public:
  explicit LocalMemory(void* memory) : memory_(memory) {}
  ~LocalMemory() { LocalFree(memory_); }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;

 private:
  void* memory_;
};

// File systems without security (FAT) have no DACL to keep.
bool has_no_security(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

}  // namespace

bool take_over_attributes(std::intptr_t old_file, std::intptr_t new_file) {
  const HANDLE from = reinterpret_cast<HANDLE>(old_file);
  const HANDLE to = reinterpret_cast<HANDLE>(new_file);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read =
      GetSecurityInfo(from, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (read != ERROR_SUCCESS) return has_no_security(read);
  LocalMemory held(descriptor);
  // Another user as owner needs a privilege; without it the owner stays the
  // user who runs the tool, as for any file that user makes.
  (void)SetKernelObjectSecurity(to, OWNER_SECURITY_INFORMATION, descriptor);
  return SetKernelObjectSecurity(to, DACL_SECURITY_INFORMATION, descriptor) ||
         has_no_security(GetLastError());
}

}  // namespace arcmend
