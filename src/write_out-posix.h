// Writing a block of memory out to a file, for the POSIX implementations only.
#pragma once

#include <cstddef>

namespace arcmend {

// Writes all `length` bytes from `data` to `fd` at its position, through
// short writes and interruptions. False on a failure, with errno set; the
// file then holds some unknown part of them.
bool write_out(int fd, const unsigned char* data, std::size_t length);

}  // namespace arcmend
