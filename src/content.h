// Loading a file whole into one block of memory. One implementation for
// each platform; every failure is reported by the result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace arcmend {

// A file's whole content in one block of memory, and the file itself, kept
// open for reading until close_file() so that the new file can take over
// its attributes. Both are released on destruction.
class Content {
 public:
  Content() = default;
  ~Content();
  Content(const Content&) = delete;
  Content& operator=(const Content&) = delete;

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  // The platform's handle of the open file.
  std::intptr_t file() const { return file_; }
  void close_file();

 private:
  friend class ContentLoader;
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::intptr_t file_ = -1;
};

enum class LoadResult { loaded, cannot_open, cannot_load };

// Loads the regular file `name` whole into `content`. cannot_open: it is
// missing, unreadable or not a regular file. cannot_load: no block of memory
// for it, or it could not be read whole (read error, shrank or grew meanwhile).
LoadResult load_file(const char* name, Content& content);

}  // namespace arcmend
