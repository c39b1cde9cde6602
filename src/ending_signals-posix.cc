// The ending signals on POSIX systems: a handler that cleans up, then
// lets the signal end the process by its default action, and the signal
// mask that holds them back.

#include <signal.h>

#include "ending_signals.h"

namespace arcmend {

namespace {

const int kEnding[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kCount = sizeof kEnding / sizeof kEnding[0];

void (*volatile cleanup_now)() = nullptr;
struct sigaction saved_actions[kCount];
bool replaced[kCount];

sigset_t saved_mask;
int hold_depth = 0;

extern "C" void clean_up_and_end(int sig) {
  if (cleanup_now != nullptr) cleanup_now();
  ::signal(sig, SIG_DFL);
  ::raise(sig);  // delivered as the handler returns
}

// Whether `sig` was ignored; one whose action cannot be read is left alone.
bool leave_alone(int sig, struct sigaction& action) {
  return ::sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_IGN;
}

}  // namespace

CleanupOnEnding::CleanupOnEnding(void (*cleanup)()) {
  cleanup_now = cleanup;
  struct sigaction action {};
  action.sa_handler = clean_up_and_end;
  sigfillset(&action.sa_mask);
  for (int i = 0; i < kCount; ++i) {
    replaced[i] = !leave_alone(kEnding[i], saved_actions[i]) &&
                  ::sigaction(kEnding[i], &action, nullptr) == 0;
  }
}

CleanupOnEnding::~CleanupOnEnding() {
  for (int i = 0; i < kCount; ++i) {
    if (replaced[i]) (void)::sigaction(kEnding[i], &saved_actions[i], nullptr);
    replaced[i] = false;
  }
  cleanup_now = nullptr;
}

EndingSignalsHeld::EndingSignalsHeld() : held_(true) {
  if (hold_depth > 0) {
    ++hold_depth;
    return;
  }
  sigset_t ending;
  sigemptyset(&ending);
  for (int sig : kEnding) sigaddset(&ending, sig);
  held_ = ::sigprocmask(SIG_BLOCK, &ending, &saved_mask) == 0;
  if (held_) hold_depth = 1;
}

// Should the mask not come back, the signals stay held: the tool then
// finishes, as if it had been started with them ignored.
EndingSignalsHeld::~EndingSignalsHeld() {
  if (!held_ || --hold_depth > 0) return;
  (void)::sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
}

}  // namespace arcmend
