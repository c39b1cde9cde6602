#include "repair.h"

#include <gtest/gtest.h>

#include <string>

namespace arcmend {
namespace {

std::string apply(const std::string& old) {
  const RotationPlan plan = plan_rotation(old.size());
  EXPECT_EQ(plan.first.length + plan.second.length, old.size());
  const auto piece = [&old](const Piece& p) {
    return old.substr(static_cast<std::size_t>(p.offset), static_cast<std::size_t>(p.length));
  };
  return piece(plan.first) + piece(plan.second);
}

TEST(Rotation, MovesTheFirstTwoBytesBehindTheOthers) {
  EXPECT_EQ(apply("\x41\x42\x43"), "\x43\x41\x42");
  EXPECT_EQ(apply("abcdefgh"), "cdefghab");
}

TEST(Rotation, TwoBytesAreTheirOwnRotation) { EXPECT_EQ(apply("xy"), "xy"); }

TEST(Rotation, FewerThanTwoBytesStayWithinTheContent) {
  EXPECT_EQ(apply(""), "");
  EXPECT_EQ(apply("x"), "x");
  const RotationPlan one = plan_rotation(1);
  EXPECT_LE(one.second.offset + one.second.length, 1u);
}

TEST(Rotation, SizesPastFourGibibytesAreNotCut) {
  const std::uint64_t size = (std::uint64_t{1} << 32) + 3;
  const RotationPlan plan = plan_rotation(size);
  EXPECT_EQ(plan.first.offset, 2u);
  EXPECT_EQ(plan.first.length, size - 2);
}

TEST(BackupName, AppendsToTheWholeName) {
  EXPECT_EQ(backup_name("data.arc"), "data.arc.bak");
  EXPECT_EQ(backup_name("x.bak"), "x.bak.bak");
  EXPECT_EQ(backup_name("dir.d/noext"), "dir.d/noext.bak");
  const std::string long_name(300, 'n');
  EXPECT_EQ(backup_name(long_name), long_name + ".bak");
}

}  // namespace
}  // namespace arcmend
