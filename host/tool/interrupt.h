// The signals that end the tool (SIGINT, SIGTERM, SIGHUP, SIGQUIT) while a
// command writes files.
//
// While an InterruptGuard lives, such a signal only raises a flag that the
// command polls, so that it can stop the camera and finish (or drop) its files;
// a second signal while it does so changes nothing. Only a third signal ends
// the process at once, after removing the temporary outputs noted here (the
// targets stay as they were). The flag is a lock-free atomic, safe to set from
// a signal handler on whichever thread the signal lands on.
#pragma once

#include <signal.h>

#include <string>

namespace pyxtool {

class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  static bool requested();
  // The temporary files a forced end removes (at most a few per run).
  static void NoteTemporary(const std::string& path);
  static void ForgetTemporary(const std::string& path);

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  struct sigaction previous_[sizeof kSignals / sizeof kSignals[0]]{};
};

}  // namespace pyxtool
