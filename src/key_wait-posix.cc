// The pause on the controlling terminal (/dev/tty), in raw mode: no line
// input, no echo, and no signals from Ctrl+C, Ctrl+Z or Ctrl+\, which end
// the wait like any other key.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <optional>

#include "ending_signals.h"
#include "key_wait.h"

namespace arcmend {

namespace {

// How long the rest of a key's escape sequence may lag behind its first byte.
const int kFollowMilliseconds = 100;

class Terminal {
 public:
  Terminal() {
    do {
      fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
  }
  ~Terminal() {
    if (fd_ >= 0) ::close(fd_);  // read-only use: nothing to lose
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// The mode to put back, also when the process is ended by a signal during
// the wait.
struct termios saved_mode;
int saved_mode_fd = -1;

void restore_mode() { (void)::tcsetattr(saved_mode_fd, TCSANOW, &saved_mode); }

// Raw mode for its lifetime. The input queue is kept, so keys typed before
// the wait are read first.
class RawMode {
 public:
  explicit RawMode(int fd) {
    if (::tcgetattr(fd, &saved_mode) != 0) return;
    saved_mode_fd = fd;
    restore_on_ending_.emplace(restore_mode);
    struct termios raw = saved_mode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(fd, TCSANOW, &raw) == 0;
  }
  // Nothing to report a failure to; the mode is put back as far as it can be.
  ~RawMode() {
    if (restore_on_ending_.has_value()) restore_mode();
  }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;
  bool active() const { return active_; }

 private:
  std::optional<CleanupOnEnding> restore_on_ending_;
  bool active_ = false;
};

// One byte, waiting at most `timeout_ms` (forever when negative).
bool read_byte(int fd, unsigned char& byte, int timeout_ms) {
  for (;;) {
    if (timeout_ms >= 0) {
      struct pollfd p = {fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, timeout_ms);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
    }
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

bool follow(int fd, unsigned char& byte) { return read_byte(fd, byte, kFollowMilliseconds); }

// After ESC: a CSI sequence (ESC [ ... final byte, or the Linux console's
// ESC [ [ letter), an SS3 one (ESC O letter), or Alt with a key (ESC key).
void consume_escape_sequence(int fd) {
  unsigned char byte;
  if (!follow(fd, byte)) return;  // Escape on its own
  if (byte == 'O') {
    follow(fd, byte);
  } else if (byte == '[') {
    if (!follow(fd, byte)) return;
    if (byte == '[') {
      follow(fd, byte);
      return;
    }
    while (!(byte >= 0x40 && byte <= 0x7e) && follow(fd, byte)) {
    }
  }
}

// The continuation bytes of a UTF-8 character.
void consume_character(int fd, unsigned char lead) {
  int rest = lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : 0;
  unsigned char byte;
  while (rest-- > 0 && follow(fd, byte)) {
  }
}

void read_one_key(int fd) {
  unsigned char first;
  if (!read_byte(fd, first, -1)) return;
  if (first == 0x1b) {
    consume_escape_sequence(fd);
  } else {
    consume_character(fd, first);
  }
}

}  // namespace

void pause_for_key() {
  Terminal terminal;
  if (terminal.fd() < 0) return;  // no controlling terminal
  RawMode raw(terminal.fd());
  if (raw.active()) read_one_key(terminal.fd());
}

}  // namespace arcmend
