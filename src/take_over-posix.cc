// What the new file takes over on POSIX systems. The ACL goes through
// libacl, since losing it could open the file to others; the other extended
// attributes go through libattr and may be dropped where they cannot be set.

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <errno.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "take_over.h"

namespace arcmend {

namespace {

class Acl {
 public:
  explicit Acl(acl_t acl) : acl_(acl) {}
  ~Acl() {
    if (acl_ != nullptr) acl_free(acl_);
  }
  Acl(const Acl&) = delete;
  Acl& operator=(const Acl&) = delete;
  acl_t get() const { return acl_; }

 private:
  acl_t acl_;
};

// Owner and group where allowed, then the permission bits. Bits that would
// open the file to an owner or a group it did not have are dropped; false
// in `group_kept` says the group's were.
bool take_over_owner_and_mode(int to, const struct stat& old, bool& group_kept) {
  mode_t mode = old.st_mode & 07777;
  group_kept = true;
  if (::fchown(to, old.st_uid, old.st_gid) != 0) {
    mode &= static_cast<mode_t>(~(S_ISUID | S_ISGID));
    if (::fchown(to, static_cast<uid_t>(-1), old.st_gid) != 0) {
      mode &= static_cast<mode_t>(~S_IRWXG);
      group_kept = false;
    }
  }
  return ::fchmod(to, mode) == 0;
}

// The group entry speaks for the file's group; with another group it must
// grant nothing.
bool clear_group_entry(acl_t acl) {
  acl_entry_t entry;
  for (int found = acl_get_entry(acl, ACL_FIRST_ENTRY, &entry); found == 1;
       found = acl_get_entry(acl, ACL_NEXT_ENTRY, &entry)) {
    acl_tag_t tag;
    acl_permset_t permissions;
    if (acl_get_tag_type(entry, &tag) != 0) return false;
    if (tag != ACL_GROUP_OBJ) continue;
    return acl_get_permset(entry, &permissions) == 0 && acl_clear_perms(permissions) == 0 &&
           acl_set_permset(entry, permissions) == 0;
  }
  return false;
}

// Setting the old file's ACL also replaces one the new file inherited from
// its directory's default ACL: an old file without an ACL yields one that is
// just its permission bits, and the new file then has none either.
bool take_over_acl(int from, int to, bool group_kept) {
  Acl acl(acl_get_fd(from));
  // No ACLs on this file system: the permission bits are all there is.
  if (acl.get() == nullptr) return errno == ENOTSUP;
  if (!group_kept && !clear_group_entry(acl.get())) return false;
  if (acl_set_fd(to, acl.get()) == 0) return true;
  return errno == ENOTSUP && acl_equiv_mode(acl.get(), nullptr) == 0;
}

// Everything but the ACL, which is set above, and what libattr's own
// configuration says to skip.
extern "C" int copy_this_attribute(const char* name, struct error_context* context) {
  return std::strcmp(name, "system.posix_acl_access") != 0 &&
         std::strcmp(name, "system.posix_acl_default") != 0 &&
         attr_copy_check_permissions(name, context);
}

}  // namespace

bool take_over_attributes(std::intptr_t old_file, std::intptr_t new_file) {
  const int from = static_cast<int>(old_file);
  const int to = static_cast<int>(new_file);
  struct stat old;
  bool group_kept;
  if (::fstat(from, &old) != 0 || !take_over_owner_and_mode(to, old, group_kept) ||
      !take_over_acl(from, to, group_kept)) {
    return false;
  }
  // Tags, checksums, labels: they only add information, so one that cannot
  // be set here (a file system without user attributes, a security.* name
  // this user may not set) is dropped.
  (void)attr_copy_fd(nullptr, from, nullptr, to, copy_this_attribute, nullptr);
  return true;
}

}  // namespace arcmend
