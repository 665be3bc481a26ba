// Drawing acquisition progress.
#include "host/tool/progress_display.h"

#include <unistd.h>

#include <cstdio>

namespace pyxtool {

namespace {

constexpr unsigned kBarWidth = 24;

}  // namespace

ProgressDisplay::ProgressDisplay(bool enabled)
    : enabled_(enabled), terminal_(isatty(STDERR_FILENO) == 1) {}

void ProgressDisplay::update(const Progress& progress, Clock::time_point now) {
  if (!enabled_) return;
  const auto period = terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
  if (drawn_ && now - last_ < period) return;
  last_ = now;
  draw(progress);
}

void ProgressDisplay::finish(const Progress& progress) {
  if (!enabled_) return;
  draw(progress);
  if (terminal_) std::fputc('\n', stderr);
}

void ProgressDisplay::draw(const Progress& progress) {
  const std::string line = FormatProgressBar(progress, kBarWidth);
  if (terminal_) {
    std::fprintf(stderr, "\r%s\033[K", line.c_str());  // erase what a longer line left
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace pyxtool
