// A file handle's owner, for the Win32 implementations only.
#pragma once

#include <windows.h>

#include <cstdint>

namespace arcmend {

// Owns a file handle; close() reports the result the destructor cannot.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  bool close() { return CloseHandle(release()) != 0; }

 private:
  HANDLE h_;
};

// The handles that shared headers carry as std::intptr_t.
inline HANDLE as_handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

inline HANDLE open_shared(const char* name, DWORD access, DWORD disposition) {
  return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace arcmend
