// Which failures of the backup's MoveFileA let the repair go on without a
// backup: only a taken name, or one too long to exist.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "rename-win32.h"

namespace arcmend {
namespace {

TEST(Win32Rename, ATakenOrOverlongNameIsNoFailure) {
  for (DWORD error : {ERROR_ALREADY_EXISTS, ERROR_FILE_EXISTS, ERROR_FILENAME_EXCED_RANGE}) {
    EXPECT_EQ(unmoved(error), RenameResult::name_taken) << error;
  }
}

TEST(Win32Rename, AnyOtherErrorStopsTheRepair) {
  for (DWORD error :
       {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION, ERROR_WRITE_PROTECT,
        ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL, ERROR_CRC, ERROR_GEN_FAILURE, ERROR_NOT_READY,
        ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_NOT_SAME_DEVICE, ERROR_INVALID_NAME}) {
    EXPECT_EQ(unmoved(error), RenameResult::failed) << error;
  }
}

TEST(Win32Rename, ThePathLimitCountsTheWholePathAndItsNul) {
  const std::string root = "C:\\";
  EXPECT_FALSE(beyond_path_limit((root + std::string(MAX_PATH - 4, 'n')).c_str()));
  EXPECT_TRUE(beyond_path_limit((root + std::string(MAX_PATH - 3, 'n')).c_str()));
  EXPECT_TRUE(beyond_path_limit(std::string(MAX_PATH, 'n').c_str()));
  EXPECT_FALSE(beyond_path_limit("data.arc.bak"));
}

}  // namespace
}  // namespace arcmend
