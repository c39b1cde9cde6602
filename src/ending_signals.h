// The signals that end the tool from outside: on POSIX systems SIGINT,
// SIGTERM, SIGHUP and SIGQUIT; on Windows the console's Ctrl+C, Ctrl+Break,
// close, logoff and shutdown events. One implementation for each platform.
#pragma once

namespace arcmend {

// While it exists, `cleanup` runs when an ending signal is about to end the
// process, which then ends as that signal would have ended it. `cleanup`
// must be safe in a signal handler. A signal that was ignored when this
// began (nohup, a script's background job) stays ignored. One at a time.
class CleanupOnEnding {
 public:
  explicit CleanupOnEnding(void (*cleanup)());
  ~CleanupOnEnding();
  CleanupOnEnding(const CleanupOnEnding&) = delete;
  CleanupOnEnding& operator=(const CleanupOnEnding&) = delete;
};

// Holds the ending signals back while it exists, so that a span of steps
// is never cut short: one that comes meanwhile takes effect at the end of
// the outermost span. Spans may nest; only one thread makes them. held()
// is false when they could not be held back.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld();
  ~EndingSignalsHeld();
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

}  // namespace arcmend
