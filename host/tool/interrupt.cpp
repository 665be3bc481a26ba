// Signal handling for acquisitions.
#include "host/tool/interrupt.h"

#include <atomic>

namespace pyxtool {

namespace {

std::atomic<bool> gRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal flag must be lock-free");

void OnSignal(int) {
  gRequested.store(true);
}

}  // namespace

InterruptGuard::InterruptGuard() {
  gRequested.store(false);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
  sigaction(SIGINT, &action, &previousInt_);
  sigaction(SIGTERM, &action, &previousTerm_);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &previousInt_, nullptr);
  sigaction(SIGTERM, &previousTerm_, nullptr);
}

bool InterruptGuard::requested() {
  return gRequested.load();
}

}  // namespace pyxtool
