// A file's whole content as one block of memory: a read-only view of the
// file where the platform can map it, else a block the file is read into.
// One implementation for each platform; every failure is reported by the
// result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace arcmend {

// The content block, and the file itself, kept open for reading until
// release() so that the new file can take over its attributes. Both are
// released on destruction.
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
  // Whether the file still has the size and modification time it had when
  // loaded. A view follows the file, so only then did the block hold the
  // file's bytes throughout: once shrunk, a view reads zeros or nothing.
  bool unchanged() const;
  // Unmaps or frees the block and closes the file; data() is gone after.
  void release();

 private:
  friend class ContentLoader;
  struct Stamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    bool operator==(const Stamp& other) const {
      return size == other.size && modified == other.modified && changed == other.changed;
    }
  };
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;  // a view of the file, not an allocated block
  std::intptr_t file_ = -1;
  Stamp loaded_;
};

enum class LoadResult { loaded, cannot_open, cannot_load };

// Loads the regular file `name` whole into `content`. cannot_open: it is
// missing, unreadable or not a regular file. cannot_load: no block of memory
// for it, or it could not be read whole (read error, shrank or grew meanwhile).
LoadResult load_file(const char* name, Content& content);

}  // namespace arcmend
