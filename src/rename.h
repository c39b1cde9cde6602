// The backup's rename. One implementation for each platform.
#pragma once

namespace arcmend {

enum class RenameResult {
  renamed,     // `from` now has the name `to`
  name_taken,  // `to` exists, or is too long to exist; both left as they are
  failed,      // any other failure; both left as they are
};

// Renames `from` to `to`, never replacing a file called `to`.
RenameResult rename_noreplace(const char* from, const char* to);

}  // namespace arcmend
