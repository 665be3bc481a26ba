// Ctrl-C (SIGINT) and SIGTERM while an acquisition runs.
//
// While an InterruptGuard lives, the first such signal only raises a flag that
// the acquisition loop polls, so the loop can stop the camera and finish its
// files; the handler then resets itself, and a second signal ends the process
// the usual way. The flag is a lock-free atomic, safe to set from a signal
// handler on whichever thread the signal lands on.
#pragma once

#include <signal.h>

namespace pyxtool {

class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  static bool requested();

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

}  // namespace pyxtool
