// Copying a range of bytes from one open file into another. One
// implementation for each platform.
#pragma once

#include <cstdint>

namespace arcmend {

enum class CopyResult {
  copied,
  cannot_read,   // a read error, or the file ended early
  cannot_write,  // the new file refused the bytes (a full disk, a size limit)
};

// Copies the `length` bytes at `offset` of the file `from` to the file
// `to`, at its position; both are platform handles. Only bytes read from
// `from` are written. Written at the position, not at an offset of its
// own, so that `to` grows by exactly what reached it, whatever a copy
// claims: a copy that claimed more leaves `to` short, never with a hole.
CopyResult copy_range(std::intptr_t from, std::uint64_t offset, std::intptr_t to,
                      std::uint64_t length);

}  // namespace arcmend
