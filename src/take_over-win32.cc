// What the new file takes over on Windows: the old file's DACL as it stands,
// protected or not, its inherited entries still marked inherited; and the
// owner where the process may set it. SetKernelObjectSecurity, not
// SetSecurityInfo: it takes the DACL as given, where SetSecurityInfo would
// add what the folder passes on now, and Wine's drops the DACL altogether,
// leaving the file open to everyone. A DACL the new file already has is
// not set again: Wine keeps a DACL as mode bits, and setting one opens the
// group to whatever it lets the owner do.

#include <windows.h>

#include <cstring>

#include "handle-win32.h"
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

// The parts of `file`'s security descriptor that `what` names, in memory
// that LocalFree frees; null with the error in `error`.
PSECURITY_DESCRIPTOR security_of(HANDLE file, SECURITY_INFORMATION what, DWORD& error) {
  DWORD needed = 0;
  if (GetKernelObjectSecurity(file, what, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    error = GetLastError();
    return nullptr;
  }
  PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LMEM_FIXED, needed);
  if (descriptor == nullptr) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  } else if (!GetKernelObjectSecurity(file, what, descriptor, needed, &needed)) {
    error = GetLastError();
    LocalFree(descriptor);
    descriptor = nullptr;
  }
  return descriptor;
}

// File systems without security (FAT) have no DACL to keep.
bool has_no_security(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

PACL dacl_of(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL& control) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  DWORD revision = 0;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
      !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    return nullptr;
  }
  control &= SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
  return dacl;
}

DWORD bytes_in_use(PACL acl) {
  ACL_SIZE_INFORMATION size;
  return GetAclInformation(acl, &size, sizeof size, AclSizeInformation) ? size.AclBytesInUse : 0;
}

// Whether `file` has the DACL of `wanted`, entry for entry and flag for flag.
bool has_dacl(HANDLE file, PSECURITY_DESCRIPTOR wanted) {
  DWORD error = 0;
  const PSECURITY_DESCRIPTOR current = security_of(file, DACL_SECURITY_INFORMATION, error);
  if (current == nullptr) return false;
  LocalMemory held(current);
  SECURITY_DESCRIPTOR_CONTROL have = 0, want = 0;
  const PACL a = dacl_of(current, have), b = dacl_of(wanted, want);
  const DWORD size = a != nullptr && b != nullptr ? bytes_in_use(a) : 0;
  // The header's own size may count unused room; the entries follow it.
  return size != 0 && size == bytes_in_use(b) && have == want && a->AceCount == b->AceCount &&
         std::memcmp(a + 1, b + 1, size - sizeof(ACL)) == 0;
}

}  // namespace

bool take_over_attributes(std::intptr_t old_file, std::intptr_t new_file) {
  const HANDLE from = as_handle(old_file);
  const HANDLE to = as_handle(new_file);
  DWORD error = 0;
  const PSECURITY_DESCRIPTOR descriptor =
      security_of(from, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, error);
  if (descriptor == nullptr) return has_no_security(error);
  LocalMemory held(descriptor);
  // Another user as owner needs a privilege; without it the owner stays the
  // user who runs the tool, as for any file that user makes.
  (void)SetKernelObjectSecurity(to, OWNER_SECURITY_INFORMATION, descriptor);
  if (has_dacl(to, descriptor)) return true;
  return SetKernelObjectSecurity(to, DACL_SECURITY_INFORMATION, descriptor) ||
         has_no_security(GetLastError());
}

}  // namespace arcmend
