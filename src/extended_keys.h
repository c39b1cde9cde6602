// Which keys have a PC BIOS extended-key code: a two-byte code (lead byte 0
// or 0xE0, then a code byte) for a key that produces no character.
#pragma once

namespace arcmend {

struct KeyPress {
  unsigned scan_code;
  bool enhanced;  // from the separate cursor block, keypad Enter or keypad slash
  bool alt;
  bool ctrl;
  bool shift;
};

// The code is chosen by the modifier held, Alt before Ctrl before Shift.
// Modifier and lock keys on their own have none.
bool has_extended_code(const KeyPress& key);

}  // namespace arcmend
