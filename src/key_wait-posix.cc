// The pause on the controlling terminal (/dev/tty), in raw mode: no line
// input, no echo, and no signals from Ctrl+C, Ctrl+Z or Ctrl+\, which end
// the wait like any other key.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

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

// The mode to put back, also from a handler when the process is ended by a
// signal during the wait.
struct termios saved_mode;
int saved_mode_fd = -1;
volatile sig_atomic_t restore_armed = 0;

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const int kSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];
struct sigaction saved_actions[kSignalCount];

extern "C" void restore_mode_and_die(int sig) {
  if (restore_armed) ::tcsetattr(saved_mode_fd, TCSANOW, &saved_mode);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Raw mode for its lifetime. The input queue is kept, so keys typed before
// the wait are read first.
class RawMode {
 public:
  explicit RawMode(int fd) : fd_(fd) {
    if (::tcgetattr(fd, &saved_mode) != 0) return;
    saved_mode_fd = fd;
    struct sigaction action {};
    action.sa_handler = restore_mode_and_die;
    sigfillset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
      ::sigaction(kEndingSignals[i], &action, &saved_actions[i]);
    }
    restore_armed = 1;
    struct termios raw = saved_mode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(fd, TCSANOW, &raw) == 0;
  }
  ~RawMode() {
    if (!restore_armed) return;
    // Nothing to report a failure to; the mode is put back as far as it can be.
    (void)::tcsetattr(fd_, TCSANOW, &saved_mode);
    restore_armed = 0;
    for (int i = 0; i < kSignalCount; ++i) {
      ::sigaction(kEndingSignals[i], &saved_actions[i], nullptr);
    }
  }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
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
