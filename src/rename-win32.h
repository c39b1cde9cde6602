// What a failed MoveFileA means for the backup, for the Windows
// implementation of rename.h and its tests.
#pragma once

#include "rename.h"

namespace arcmend {

// name_taken for a target that exists or whose name passes the path limit;
// failed for any other error code of GetLastError().
RenameResult unmoved(unsigned long error);

// Whether `name`'s full path is too long for the ANSI file functions
// (MAX_PATH, its NUL included), so that no file of that name can exist.
bool beyond_path_limit(const char* name);

}  // namespace arcmend
