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

bool exists(const char* name) {
  struct stat st;
  return ::lstat(name, &st) == 0 || errno != ENOENT;
}

// For file systems without hard links (vfat): not atomic, so another
// process could take `to` between the check and the rename.
bool rename_if_free(const char* from, const char* to) {
  return !exists(to) && ::rename(from, to) == 0;
}

// A hard link never replaces either; for file systems that have no
// RENAME_NOREPLACE (NFS, some FUSE mounts).
bool rename_by_link(const char* from, const char* to) {
  if (::link(from, to) != 0) {
    if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) {
      return rename_if_free(from, to);
    }
    return false;
  }
  // Should the unlink fail, both names hold the old file until the commit
  // puts the new one in its place: the backup is made either way.
  (void)::unlink(from);
  return true;
}

}  // namespace

bool rename_noreplace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) return rename_by_link(from, to);
  return false;
}

}  // namespace arcmend
