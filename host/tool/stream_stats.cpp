// Frame-stream statistics and their display texts.
#include "host/tool/stream_stats.h"

#include <algorithm>
#include <cstdio>

namespace pyxtool {

void StampTracker::add(uint64_t stamp) {
  if (!seen_) {
    seen_ = true;
    highest_ = stamp;
    return;
  }
  if (stamp <= highest_) {
    ++outOfOrder_;
    return;
  }
  dropped_ += stamp - highest_ - 1;
  highest_ = stamp;
}

RateWindow::RateWindow(Clock::time_point start, Clock::duration window)
    : start_(start), window_(window) {}

void RateWindow::add(Clock::time_point arrival, size_t bytes) {
  arrivals_.push_back({arrival, bytes});
  windowBytes_ += bytes;
  ++totalFrames_;
  totalBytes_ += bytes;
}

void RateWindow::trim(Clock::time_point now) {
  while (!arrivals_.empty() && arrivals_.front().time <= now - window_) {
    windowBytes_ -= arrivals_.front().bytes;
    arrivals_.pop_front();
  }
}

double RateWindow::span(Clock::time_point now) const {
  return Seconds(std::min(window_, std::max(now - start_, Clock::duration::zero())));
}

double RateWindow::framesPerSecond(Clock::time_point now) {
  trim(now);
  const double seconds = span(now);
  return seconds > 0 ? static_cast<double>(arrivals_.size()) / seconds : 0.0;
}

double RateWindow::bytesPerSecond(Clock::time_point now) {
  trim(now);
  const double seconds = span(now);
  return seconds > 0 ? static_cast<double>(windowBytes_) / seconds : 0.0;
}

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

std::string FormatProgressBar(const Progress& progress, unsigned barWidth) {
  std::string bar;
  if (progress.target > 0) {
    const uint64_t done = std::min(progress.frames, progress.target);
    const auto filled = static_cast<unsigned>(done * barWidth / progress.target);
    bar = "[" + std::string(filled, '#') + std::string(barWidth - filled, '-') + "] ";
  }
  char counts[64];
  if (progress.target > 0) {
    std::snprintf(counts, sizeof counts, "%llu/%llu",
                  static_cast<unsigned long long>(progress.frames),
                  static_cast<unsigned long long>(progress.target));
  } else {
    std::snprintf(counts, sizeof counts, "%llu frames",
                  static_cast<unsigned long long>(progress.frames));
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "%s%s  %.1f s  %.1f frames/s  %.1f MiB/s  %llu dropped  %llu out of order",
                bar.c_str(), counts, progress.seconds, progress.framesPerSecond,
                progress.mibPerSecond, static_cast<unsigned long long>(progress.dropped),
                static_cast<unsigned long long>(progress.outOfOrder));
  std::string line = text;
  if (progress.overflows > 0) {
    line += "  " + std::to_string(progress.overflows) + " host-buffer overflows";
  }
  return line;
}

std::string FormatRateLine(double seconds, double framesPerSecond, double mibPerSecond,
                           uint64_t errors) {
  char text[128];
  std::snprintf(text, sizeof text, "%5.1f s  %7.1f frames/s - %7.1f MiB/s - %llu errors", seconds,
                framesPerSecond, mibPerSecond, static_cast<unsigned long long>(errors));
  return text;
}

}  // namespace pyxtool
