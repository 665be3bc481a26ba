// Signal handling for commands that write files.
#include "host/tool/interrupt.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

std::atomic<int> gSignals{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal count must be lock-free");

// Slots are never reused, so the handler never reads a path being written.
constexpr int kMaxTemporaries = 16;
char gTemporaries[kMaxTemporaries][PATH_MAX];
std::atomic<bool> gTemporaryLive[kMaxTemporaries];
std::atomic<int> gTemporaryCount{0};

void OnSignal(int) {
  if (gSignals.fetch_add(1) + 1 < 3) return;
  const int count = std::min(gTemporaryCount.load(), kMaxTemporaries);
  for (int i = 0; i < count; ++i)
    if (gTemporaryLive[i].load()) unlink(gTemporaries[i]);
  static const char kText[] = "pyxon: ended by a third signal; no file was changed\n";
  const ssize_t ignored = write(STDERR_FILENO, kText, sizeof kText - 1);
  (void)ignored;
  _exit(kExitInterrupted);
}

}  // namespace

constexpr int InterruptGuard::kSignals[];

InterruptGuard::InterruptGuard() {
  gSignals.store(0);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int number : kSignals) sigaddset(&action.sa_mask, number);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
    sigaction(kSignals[i], &action, &previous_[i]);
}

InterruptGuard::~InterruptGuard() {
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
    sigaction(kSignals[i], &previous_[i], nullptr);
}

bool InterruptGuard::requested() {
  return gSignals.load() > 0;
}

void InterruptGuard::NoteTemporary(const std::string& path) {
  const int slot = gTemporaryCount.load();
  if (slot >= kMaxTemporaries || path.size() >= PATH_MAX) return;
  std::memcpy(gTemporaries[slot], path.c_str(), path.size() + 1);
  gTemporaryLive[slot].store(true);
  gTemporaryCount.store(slot + 1);
}

void InterruptGuard::ForgetTemporary(const std::string& path) {
  const int count = std::min(gTemporaryCount.load(), kMaxTemporaries);
  for (int i = 0; i < count; ++i)
    if (gTemporaryLive[i].load() && path == gTemporaries[i]) gTemporaryLive[i].store(false);
}

}  // namespace pyxtool
