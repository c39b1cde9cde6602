// The backup's rename on Windows: MoveFileA never replaces a file.

#include <windows.h>

#include "rename.h"

namespace arcmend {

bool rename_noreplace(const char* from, const char* to) { return MoveFileA(from, to) != 0; }

}  // namespace arcmend
