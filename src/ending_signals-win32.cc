// The ending events on Windows. The console's control handler runs on a
// thread of its own: it takes the lock that a held span holds, so an event
// that comes during a span waits for its end, and it never gives the lock
// back, so the tool goes no further while the process ends. Windows calls
// no handler for a Ctrl+C that the process was started ignoring.

#include <windows.h>

#include "ending_signals.h"

namespace arcmend {

namespace {

SRWLOCK span_lock = SRWLOCK_INIT;
int hold_depth = 0;  // only the tool's own thread makes spans
void (*volatile cleanup_now)() = nullptr;

BOOL WINAPI clean_up_and_end(DWORD) {
  AcquireSRWLockExclusive(&span_lock);
  if (cleanup_now != nullptr) cleanup_now();
  return FALSE;  // the next handler, the default one, ends the process
}

}  // namespace

// Installing fails only without a console, where no event can come.
CleanupOnEnding::CleanupOnEnding(void (*cleanup)()) {
  cleanup_now = cleanup;
  (void)SetConsoleCtrlHandler(clean_up_and_end, TRUE);
}

CleanupOnEnding::~CleanupOnEnding() {
  (void)SetConsoleCtrlHandler(clean_up_and_end, FALSE);
  cleanup_now = nullptr;
}

EndingSignalsHeld::EndingSignalsHeld() : held_(true) {
  if (hold_depth++ == 0) AcquireSRWLockExclusive(&span_lock);
}

EndingSignalsHeld::~EndingSignalsHeld() {
  if (--hold_depth == 0) ReleaseSRWLockExclusive(&span_lock);
}

}  // namespace arcmend
