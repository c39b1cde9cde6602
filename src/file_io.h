// The file system operations the repair needs, one implementation for each
// platform. Every failure is reported by the result; nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace arcmend {

// What the rewritten file takes over from the old one (permission bits and
// ownership where the platform has them).
struct FileAttributes {
  unsigned mode = 0;
  std::int64_t owner = -1;
  std::int64_t group = -1;
};

// A file's whole content in one block of memory, released on destruction.
class Content {
 public:
  Content() = default;
  ~Content();
  Content(const Content&) = delete;
  Content& operator=(const Content&) = delete;

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  const FileAttributes& attributes() const { return attributes_; }

 private:
  friend class ContentLoader;
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  FileAttributes attributes_;
};

enum class LoadResult { loaded, cannot_open, cannot_load };

// Loads the regular file `name` whole into `content`. cannot_open: it is
// missing, unreadable or not a regular file. cannot_load: no block of memory
// for it, or it could not be read whole (read error, shrank or grew meanwhile).
LoadResult load_file(const char* name, Content& content);

// A new, private file in the directory of another file, under a short unique
// name. Unless committed it is removed on destruction, and also when the
// process is ended by SIGINT, SIGTERM, SIGHUP or SIGQUIT where those exist.
class TempFile {
 public:
  // Check created() afterwards.
  explicit TempFile(const char* beside);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool created() const;
  bool write(const unsigned char* data, std::size_t length);
  // Gives the file `attributes`, puts its content on stable storage and
  // closes it. Any failure leaves it uncommitted.
  bool finish(const FileAttributes& attributes);
  // Moves the finished file to `name`, replacing a file there only if this
  // user may write to that file.
  bool commit(const char* name);

 private:
  std::intptr_t handle_;
  std::intptr_t directory_;
  std::string name_;
  bool committed_ = false;
};

// Renames `from` to `to`; fails, leaving both as they are, when `to` exists
// or cannot exist (a name too long).
bool rename_noreplace(const char* from, const char* to);

}  // namespace arcmend
