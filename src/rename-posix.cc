// The backup's rename on POSIX systems: renameat2(RENAME_NOREPLACE), with
// fallbacks for file systems that lack it.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rename.h"

namespace arcmend {

namespace {

// Only a name that exists or cannot exist lets the repair go on without a
// backup; an I/O error, a full disk or a refusal must not.
RenameResult unrenamed(int error) {
  return error == EEXIST || error == ENAMETOOLONG ? RenameResult::name_taken : RenameResult::failed;
}

// For file systems without hard links (vfat): not atomic, so another
// process could take `to` between the check and the rename.
RenameResult rename_if_free(const char* from, const char* to) {
  struct stat st;
  if (::lstat(to, &st) == 0) return RenameResult::name_taken;
  if (errno != ENOENT) return unrenamed(errno);
  return ::rename(from, to) == 0 ? RenameResult::renamed : unrenamed(errno);
}

// A hard link never replaces either; for file systems that have no
// RENAME_NOREPLACE (NFS, some FUSE mounts).
RenameResult rename_by_link(const char* from, const char* to) {
  if (::link(from, to) != 0) {
    if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) {
      return rename_if_free(from, to);
    }
    return unrenamed(errno);
  }
  // Should the unlink fail, both names hold the old file until the commit
  // puts the new one in its place: the backup is made either way.
  (void)::unlink(from);
  return RenameResult::renamed;
}

}  // namespace

RenameResult rename_noreplace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return RenameResult::renamed;
  }
  if (errno == EINVAL || errno == ENOSYS) return rename_by_link(from, to);
  return unrenamed(errno);
}

}  // namespace arcmend
