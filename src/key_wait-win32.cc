// The pause on the Windows console keyboard ("CONIN$"), read one input
// record at a time with the console in mode 0: no line input, no echo, and
// Ctrl+C arriving as the character 3 rather than as a signal.

#include <windows.h>

#include "extended_keys.h"
#include "key_wait.h"

namespace arcmend {

namespace {

enum class State { not_opened, open, unavailable };

// Opened by the first wait and kept until the process ends.
struct ConsoleInput {
  HANDLE handle = INVALID_HANDLE_VALUE;
  State state = State::not_opened;
  ~ConsoleInput() {
    if (state == State::open) CloseHandle(handle);
  }
};

ConsoleInput console_input;

bool open_console_input() {
  if (console_input.state == State::not_opened) {
    console_input.handle =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    console_input.state =
        console_input.handle == INVALID_HANDLE_VALUE ? State::unavailable : State::open;
  }
  return console_input.state == State::open;
}

// Mode 0 for its lifetime; the earlier mode is put back however the wait ends.
class RawConsole {
 public:
  explicit RawConsole(HANDLE h) : h_(h) {
    saved_ = GetConsoleMode(h, &mode_) != 0;
    if (saved_) SetConsoleMode(h, 0);
  }
  ~RawConsole() {
    if (saved_) SetConsoleMode(h_, mode_);
  }
  RawConsole(const RawConsole&) = delete;
  RawConsole& operator=(const RawConsole&) = delete;

 private:
  HANDLE h_;
  DWORD mode_ = 0;
  bool saved_ = false;
};

bool ends_wait(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return false;
  if (record.Event.KeyEvent.uChar.AsciiChar != 0) return true;
  const DWORD state = record.Event.KeyEvent.dwControlKeyState;
  KeyPress key;
  key.scan_code = record.Event.KeyEvent.wVirtualScanCode;
  key.enhanced = (state & ENHANCED_KEY) != 0;
  key.alt = (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
  key.ctrl = (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
  key.shift = (state & SHIFT_PRESSED) != 0;
  return has_extended_code(key);
}

}  // namespace

void pause_for_key() {
  if (!open_console_input()) return;
  RawConsole raw(console_input.handle);
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputA(console_input.handle, &record, 1, &count) || count == 0) return;
    if (ends_wait(record)) return;
  }
}

}  // namespace arcmend
