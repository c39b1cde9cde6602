// The repair: keep a file under its backup name and write it anew with its
// first two bytes moved behind all the others.
#pragma once

#include <cstdint>
#include <string>

namespace arcmend {

enum class RepairResult {
  done,          // the new content is in place (with or without a new backup)
  cannot_open,   // not an openable regular file; nothing touched
  cannot_load,   // it could not be read whole: a read error, or it changed while its
                 // new content was written out; nothing touched
  cannot_write,  // the new content could not be put in place; nothing touched, unless
                 // the directory could not be synced after the renames, or the old
                 // file could not be moved back from its backup name
};

// Repairs the file called `name`. Whatever the result, the complete old
// content is on disk under `name` or backup_name(name) at every moment, and
// an existing backup is never replaced.
RepairResult repair_file(const char* name);

// The file's name with ".bak" appended to the whole name.
std::string backup_name(const std::string& name);

// A byte range of the old content.
struct Piece {
  std::uint64_t offset;
  std::uint64_t length;
};

// The two pieces of the old content that the new file receives, in order.
// Content of fewer than two bytes cannot be rotated and is kept as it is.
struct RotationPlan {
  Piece first;
  Piece second;
};
RotationPlan plan_rotation(std::uint64_t size);

}  // namespace arcmend
