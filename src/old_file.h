// The file to repair, open for reading from the check that it is a regular
// file until its rename: the new file copies its content from it piece by
// piece, never holding it whole, and takes its attributes. One
// implementation for each platform; every failure is reported by the
// result.
#pragma once

#include <cstdint>

namespace arcmend {

// What tells whether a file changed: only while it holds were the bytes
// copied from it the content it had when opened.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  std::int64_t changed = 0;
  bool operator==(const FileStamp& other) const {
    return size == other.size && modified == other.modified && changed == other.changed;
  }
};

enum class OpenResult {
  opened,
  cannot_open,  // missing, unreadable, or not a regular file
  cannot_load,  // its stamp cannot be read, or it cannot be read as a plain file
};

// Closed on destruction.
class OldFile {
 public:
  OldFile() = default;
  ~OldFile();
  OldFile(const OldFile&) = delete;
  OldFile& operator=(const OldFile&) = delete;

  // Opens the regular file `name` into `file`.
  static OpenResult open(const char* name, OldFile& file);

  std::uint64_t size() const { return opened_.size; }
  // The platform's handle of the open file.
  std::intptr_t handle() const { return handle_; }
  // Whether the file still has the stamp it had when opened.
  bool unchanged() const;
  void close();

 private:
  std::intptr_t handle_ = -1;
  FileStamp opened_;
};

}  // namespace arcmend
