// A file's old content, kept open for reading and copied out piece by piece
// where the new file is written, never held whole in memory. One
// implementation for each platform; every failure is reported by the result.
#pragma once

#include <cstdint>

namespace arcmend {

class TempFile;

enum class CopyResult {
  copied,
  cannot_read,   // a read error, no memory for a buffer, or the file ended early
  cannot_write,  // the new file refused the bytes (a full disk, a size limit)
};

// The old file, open for reading until release(), so that the new file can
// take over its attributes and the content can be copied from it. Released
// on destruction.
class Content {
 public:
  Content() = default;
  ~Content();
  Content(const Content&) = delete;
  Content& operator=(const Content&) = delete;

  std::uint64_t size() const { return loaded_.size; }
  // The platform's handle of the open file.
  std::intptr_t file() const { return file_; }
  // Appends the `length` bytes from `offset` to `temp`, at its end. Only
  // bytes read from the file are written.
  CopyResult copy_to(TempFile& temp, std::uint64_t offset, std::uint64_t length) const;
  // Whether the file still has the size and modification time it had when
  // loaded: only then were the bytes copied out the file's content of then.
  bool unchanged() const;
  // Closes the file.
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
  std::intptr_t file_ = -1;
  // Windows: the file's mapping, held until release() so that nobody can cut
  // the file shorter meanwhile; 0 where it could not be made.
  std::intptr_t mapping_ = 0;
  Stamp loaded_;
};

enum class LoadResult { loaded, cannot_open, cannot_load };

// Opens the regular file `name` for its content. cannot_open: it is missing,
// unreadable or not a regular file. cannot_load: its size or time cannot be
// read.
LoadResult load_file(const char* name, Content& content);

}  // namespace arcmend
