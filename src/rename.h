// The backup's rename. One implementation for each platform.
#pragma once

namespace arcmend {

// Renames `from` to `to`; fails, leaving both as they are, when `to` exists
// or cannot exist (a name too long).
bool rename_noreplace(const char* from, const char* to);

}  // namespace arcmend
