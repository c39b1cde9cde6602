// The new file, written in full before it takes the old one's name. One
// implementation for each platform; every failure is reported by the result.
#pragma once

#include <cstdint>
#include <string>

#include "copy.h"
#include "ending_signals.h"

namespace arcmend {

// A new, private file in the directory of another file. Unless committed,
// nothing of it is left: it has no name where the file system allows (Linux),
// or it is deleted when its handle closes, the process's end included
// (Windows); otherwise it has a short unique hidden name, removed on
// destruction and when the process is ended by an ending signal (see
// ending_signals.h).
class TempFile {
 public:
  // Check created() afterwards.
  explicit TempFile(const char* beside);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool created() const;
  // Appends the `length` bytes at `offset` of the file `from` (a platform
  // handle).
  CopyResult append(std::intptr_t from, std::uint64_t offset, std::uint64_t length) {
    return copy_range(from, offset, handle_, length);
  }
  // Whether the file system says the file holds exactly `length` bytes: no
  // copy's own count is trusted.
  bool has_length(std::uint64_t length) const;
  // Gives the file what it takes over from `old_file` (a platform handle,
  // see take_over.h) and puts its content on stable storage.
  bool finish(std::intptr_t old_file);
  // Gives the finished file the name `name`, replacing a file there only if
  // this user may write to that file. Any failure leaves `name` as it was.
  bool commit(const char* name);
  // Puts the committed file under its name, and the directory's entries,
  // on stable storage, and closes the file.
  bool make_durable();

 private:
  // Destroyed last, once nothing of the file is left to clean up.
  CleanupOnEnding on_ending_;
  std::intptr_t handle_;
  std::intptr_t directory_;
  std::string name_;  // empty while the file has no name
  bool committed_ = false;
};

}  // namespace arcmend
