// Win32 file operations: the content block comes from the C heap, the
// backup is made by MoveFileA, which never replaces, and the new file takes
// the old name with MoveFileExA, which refuses a read-only target.

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "file_io.h"

namespace arcmend {

namespace {

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
  bool close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return CloseHandle(h) != 0;
  }

 private:
  HANDLE h_;
};

// Largest piece for one ReadFile or WriteFile call.
const DWORD kChunk = 1u << 26;

DWORD chunk_of(std::size_t length) { return length < kChunk ? static_cast<DWORD>(length) : kChunk; }

bool read_exactly(HANDLE h, unsigned char* data, std::size_t length) {
  while (length > 0) {
    DWORD n = 0;
    if (!ReadFile(h, data, chunk_of(length), &n, nullptr) || n == 0) return false;
    data += n;
    length -= n;
  }
  return true;
}

bool at_end(HANDLE h) {
  unsigned char byte;
  DWORD n = 0;
  return ReadFile(h, &byte, 1, &n, nullptr) && n == 0;
}

bool is_plain_file(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

HANDLE open_shared(const char* name, DWORD access, DWORD disposition) {
  return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

// Fills a Content; the one place that may.
class ContentLoader {
 public:
  static LoadResult load(const char* name, Content& content) {
    if (!is_plain_file(name)) return LoadResult::cannot_open;
    Handle file(open_shared(name, GENERIC_READ, OPEN_EXISTING));
    // Device names such as CON or NUL open too, but are no files.
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) {
      return LoadResult::cannot_open;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > PTRDIFF_MAX) {
      return LoadResult::cannot_load;
    }
    const std::size_t length = static_cast<std::size_t>(size.QuadPart);
    if (length > 0) {
      content.data_ = static_cast<unsigned char*>(std::malloc(length));
      if (content.data_ == nullptr) return LoadResult::cannot_load;
      content.size_ = length;
    }
    if (!read_exactly(file.get(), content.data_, length) || !at_end(file.get()) || !file.close()) {
      return LoadResult::cannot_load;
    }
    return LoadResult::loaded;
  }
};

Content::~Content() { std::free(data_); }

LoadResult load_file(const char* name, Content& content) {
  return ContentLoader::load(name, content);
}

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

}  // namespace

TempFile::TempFile(const char* beside)
    : handle_(reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)), directory_(-1) {
  const std::string prefix = directory_prefix(beside);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string path = prefix + unique_name(attempt);
    const HANDLE h = open_shared(path.c_str(), GENERIC_WRITE, CREATE_NEW);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<std::intptr_t>(h);
      name_ = path;
      return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return;
  }
}

TempFile::~TempFile() {
  if (created()) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  if (!name_.empty() && !committed_) DeleteFileA(name_.c_str());
}

bool TempFile::created() const { return reinterpret_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE; }

bool TempFile::write(const unsigned char* data, std::size_t length) {
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  while (length > 0) {
    DWORD n = 0;
    if (!WriteFile(h, data, chunk_of(length), &n, nullptr) || n == 0) return false;
    data += n;
    length -= n;
  }
  return true;
}

// The new file is an ordinary new file: nothing of the old one's attributes
// is carried over.
bool TempFile::finish(const FileAttributes&) {
  Handle file(reinterpret_cast<HANDLE>(handle_));
  handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
  return FlushFileBuffers(file.get()) && file.close();
}

namespace {

// MoveFileExA refuses a read-only target on Windows, but not every
// implementation of it does (Wine replaces one).
bool is_read_only(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace

bool TempFile::commit(const char* name) {
  if (created() || is_read_only(name) ||
      !MoveFileExA(name_.c_str(), name, MOVEFILE_REPLACE_EXISTING)) {
    return false;
  }
  committed_ = true;
  return true;
}

bool rename_noreplace(const char* from, const char* to) { return MoveFileA(from, to) != 0; }

}  // namespace arcmend
