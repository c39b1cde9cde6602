// The repaired file is never more open to others than the old one: it keeps
// the old file's ACL and extended attributes, and takes nothing from its
// folder's default ACL.

#include <acl/libacl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tool_runner.h"

namespace e2e {
namespace {

std::string acl_text(const std::string& path, acl_type_t type = ACL_TYPE_ACCESS) {
  acl_t acl = acl_get_file(path.c_str(), type);
  if (acl == nullptr) return "<none>";
  char* text = acl_to_text(acl, nullptr);
  std::string result = text != nullptr ? text : "<unreadable>";
  acl_free(text);
  acl_free(acl);
  return result;
}

bool set_acl(const std::string& path, const char* text, acl_type_t type = ACL_TYPE_ACCESS) {
  acl_t acl = acl_from_text(text);
  const bool done = acl != nullptr && acl_set_file(path.c_str(), type, acl) == 0;
  acl_free(acl);
  return done;
}

// Whether a case may go without `what`, which its file system refused: one
// under test may only where the table says it cannot hold it.
bool may_go_without(const char* what) {
  return folder_under_test().empty() || file_system_lacks(what);
}

// On the disk's own file system (or the one under test) and on tmpfs.
class PosixAccess : public ::testing::TestWithParam<const char*> {
 protected:
  void repair(const std::string& name) {
    Invocation r;
    r.args = {name};
    r.directory = dir.path();
    const Outcome outcome = run_tool(r);
    ASSERT_EQ(outcome.exit_code, 0);
    ASSERT_EQ(outcome.out, "");
    ASSERT_EQ(read_file(dir / name), "cdefab");
  }
  TempDir dir{GetParam()};
};

TEST_P(PosixAccess, TheFileKeepsExactlyItsAcl) {
  write_file(dir / "data.arc", "abcdef");
  const char* acl = "u::rw-,u:nobody:r--,g::---,m::r--,o::---";
  if (!set_acl(dir / "data.arc", acl)) {
    ASSERT_TRUE(may_go_without("acls")) << "the ACL was refused";
    GTEST_SKIP() << "no ACLs on this file system";
  }
  const std::string before = acl_text(dir / "data.arc");
  repair("data.arc");
  EXPECT_EQ(acl_text(dir / "data.arc"), before);
}

TEST_P(PosixAccess, TheFileKeepsItsUserAttributes) {
  write_file(dir / "data.arc", "abcdef");
  const std::string origin = "https://example.org/data.arc";
  if (setxattr((dir / "data.arc").c_str(), "user.origin", origin.data(), origin.size(), 0) != 0) {
    ASSERT_TRUE(may_go_without("xattrs")) << "the attribute was refused";
    GTEST_SKIP() << "no user attributes on this file system";
  }
  repair("data.arc");
  char value[64] = {};
  EXPECT_EQ(getxattr((dir / "data.arc").c_str(), "user.origin", value, sizeof value - 1),
            static_cast<ssize_t>(origin.size()));
  EXPECT_EQ(value, origin);
}

TEST_P(PosixAccess, AFolderDefaultAclGrantsNothingOnAFileThatHadNone) {
  write_file(dir / "data.arc", "abcdef");
  ASSERT_EQ(chmod((dir / "data.arc").c_str(), 0600), 0);
  if (!set_acl(dir.path(), "u::rwx,u:nobody:rw-,g::r-x,m::rwx,o::r-x", ACL_TYPE_DEFAULT)) {
    ASSERT_TRUE(may_go_without("acls")) << "the default ACL was refused";
    GTEST_SKIP() << "no ACLs on this file system";
  }
  repair("data.arc");
  EXPECT_EQ(acl_text(dir / "data.arc"), "user::rw-\ngroup::---\nother::---\n");
}

INSTANTIATE_TEST_SUITE_P(FileSystems, PosixAccess, ::testing::Values("", "/dev/shm"),
                         [](const auto& p) { return *p.param == '\0' ? "disk" : "tmpfs"; });

// The Windows build, through a helper that reads and sets DACLs in SDDL.
class Win32Access : public ::testing::Test {
 protected:
  Outcome win32_helper(const std::vector<std::string>& args) {
    Invocation r;
    r.program = std::getenv("ARCMEND_WIN32_HELPER");
    r.args = args;
    r.directory = dir.path();
    return run_tool(r);
  }
  // Repairs data.arc ("abcdef"), checks that its DACL reads back as it did
  // before, and returns its mode bits, where Wine keeps the DACL too.
  mode_t repair_keeping_the_dacl() {
    const Outcome before = win32_helper({"get", "data.arc"});
    EXPECT_EQ(before.exit_code, 0);
    Invocation r;
    r.args = {"data.arc"};
    r.directory = dir.path();
    EXPECT_EQ(run_tool(r).out, "");
    EXPECT_EQ(read_file(dir / "data.arc"), "cdefab");
    EXPECT_EQ(win32_helper({"get", "data.arc"}).out, before.out);
    struct stat st {};
    EXPECT_EQ(stat((dir / "data.arc").c_str(), &st), 0);
    return st.st_mode & 0777;
  }
  TempDir dir;
};

// Where files have no access of their own, Wine can keep no DACL: every
// file has what the mount gives it.
TEST_F(Win32Access, AProtectedOwnerOnlyDaclIsKept) {
  if (file_system_lacks("modes")) GTEST_SKIP() << "no access of a file's own here";
  write_file(dir / "data.arc", "abcdef");
  ASSERT_EQ(win32_helper({"set", "data.arc", "D:P(A;;FA;;;OW)"}).exit_code, 0);
  EXPECT_EQ(repair_keeping_the_dacl() & 077, 0u);
}

// Wine keeps a DACL as mode bits and opens the group to whatever a DACL
// lets the owner do; the new file must not end up more open than the old.
TEST_F(Win32Access, UnderWineTheModeIsNoMoreOpenThanBefore) {
  if (file_system_lacks("modes")) GTEST_SKIP() << "no access of a file's own here";
  struct Case {
    mode_t mode;
    mode_t closed;  // bits that must stay clear
  };
  for (const Case c : {Case{0644, 022}, Case{0600, 007}}) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    write_file(dir / "data.arc", "abcdef");
    ASSERT_EQ(chmod((dir / "data.arc").c_str(), c.mode), 0);
    const mode_t after = repair_keeping_the_dacl();
    EXPECT_EQ(after & c.closed, 0u) << "mode is now " << std::oct << after;
    std::printf("a %o file is %o after a repair\n", static_cast<unsigned>(c.mode),
                static_cast<unsigned>(after));
    unlink((dir / "data.arc").c_str());
    unlink((dir / "data.arc.bak").c_str());
  }
}

}  // namespace
}  // namespace e2e
