#include "extended_keys.h"

#include <gtest/gtest.h>

namespace arcmend {
namespace {

KeyPress key(unsigned scan, bool enhanced = false) { return {scan, enhanced, false, false, false}; }
KeyPress with_alt(KeyPress k) { return k.alt = true, k; }
KeyPress with_ctrl(KeyPress k) { return k.ctrl = true, k; }
KeyPress with_shift(KeyPress k) { return k.shift = true, k; }

TEST(ExtendedKeys, ModifierAndLockKeysAloneHaveNone) {
  for (unsigned scan : {0x2Au, 0x36u, 0x1Du, 0x38u, 0x3Au, 0x45u, 0x46u}) {
    EXPECT_FALSE(has_extended_code(key(scan))) << std::hex << scan;
    EXPECT_FALSE(has_extended_code(with_shift(key(scan)))) << std::hex << scan;
  }
}

TEST(ExtendedKeys, EveryFunctionKeyWithAnyModifierHasOne) {
  const unsigned f_keys[] = {0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40,
                             0x41, 0x42, 0x43, 0x44, 0x57, 0x58};
  for (unsigned scan : f_keys) {
    EXPECT_TRUE(has_extended_code(key(scan))) << std::hex << scan;
    EXPECT_TRUE(has_extended_code(with_shift(key(scan)))) << std::hex << scan;
    EXPECT_TRUE(has_extended_code(with_ctrl(key(scan)))) << std::hex << scan;
    EXPECT_TRUE(has_extended_code(with_alt(key(scan)))) << std::hex << scan;
  }
}

TEST(ExtendedKeys, CursorKeysHaveOneInTheBlockAndOnTheKeypad) {
  const unsigned cursor[] = {0x47, 0x48, 0x49, 0x4B, 0x4D, 0x4F, 0x50, 0x51, 0x52, 0x53};
  for (unsigned scan : cursor) {
    EXPECT_TRUE(has_extended_code(key(scan, true))) << std::hex << scan;
    EXPECT_TRUE(has_extended_code(with_ctrl(key(scan, true)))) << std::hex << scan;
    EXPECT_TRUE(has_extended_code(with_alt(key(scan, true)))) << std::hex << scan;
    EXPECT_TRUE(has_extended_code(key(scan))) << std::hex << scan;
    EXPECT_TRUE(has_extended_code(with_ctrl(key(scan)))) << std::hex << scan;
  }
}

TEST(ExtendedKeys, EnhancedKeysOutsideTheTwelveHaveNone) {
  // Right Ctrl, right Alt, the Windows keys and the menu key.
  for (unsigned scan : {0x1Du, 0x38u, 0x5Bu, 0x5Cu, 0x5Du}) {
    EXPECT_FALSE(has_extended_code(key(scan, true))) << std::hex << scan;
  }
}

TEST(ExtendedKeys, ScanCodesPastF12HaveNone) {
  for (unsigned scan = 0x59; scan < 0x100; ++scan) {
    EXPECT_FALSE(has_extended_code(key(scan))) << std::hex << scan;
    EXPECT_FALSE(has_extended_code(with_alt(key(scan)))) << std::hex << scan;
  }
}

TEST(ExtendedKeys, AltWithALetterOrDigitHasOne) {
  for (unsigned scan = 0x02; scan <= 0x0B; ++scan) {
    EXPECT_TRUE(has_extended_code(with_alt(key(scan)))) << std::hex << scan;
  }
  for (unsigned scan : {0x10u, 0x19u, 0x1Eu, 0x26u, 0x2Cu, 0x32u}) {
    EXPECT_TRUE(has_extended_code(with_alt(key(scan)))) << std::hex << scan;
    EXPECT_FALSE(has_extended_code(key(scan))) << "a letter is a character";
  }
}

TEST(ExtendedKeys, AltWinsOverCtrlAndCtrlOverShift) {
  // Alt+keypad 7 has no code (it starts a character by number); Ctrl has one.
  KeyPress both = with_ctrl(with_alt(key(0x47)));
  EXPECT_FALSE(has_extended_code(both));
  EXPECT_TRUE(has_extended_code(with_ctrl(with_shift(key(0x47)))));
  EXPECT_FALSE(has_extended_code(with_shift(key(0x47))));
}

}  // namespace
}  // namespace arcmend
