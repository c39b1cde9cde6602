// What a new file takes over from the old file it replaces, so that it is
// never more open to others than the old one was. One implementation for
// each platform.
#pragma once

#include <cstdint>

namespace arcmend {

// Both are platform handles: the old file open for reading, the new one
// open for writing. On POSIX systems the new file takes the owner and group
// where allowed, the permission bits, the ACL and the extended attributes;
// on Windows the DACL, and the owner where allowed. Attributes that only
// add information may be dropped. False when the new file could not be
// made as closed as the old one.
bool take_over_attributes(std::intptr_t old_file, std::intptr_t new_file);

}  // namespace arcmend
