// Statistics of a stream of frames: frame numbers (stamps) for drops and
// reordering, and rates over a sliding time window.
//
// Thread use: owned and called by the one thread that takes the frames.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace pyxtool {

using Clock = std::chrono::steady_clock;

// Follows the frame numbers the camera stamped into its frames. The first
// number seen is the baseline; a later number that jumps ahead counts the
// frames in between as dropped; a number at or below the highest seen so far
// counts as out of order (repeats included).
class StampTracker {
 public:
  void add(uint64_t stamp);
  // A frame whose stamp could not be read (torn: the two copies differ, or the
  // frame is too small to carry one).
  void addUnreadable() { ++unreadable_; }

  uint64_t dropped() const { return dropped_; }
  uint64_t outOfOrder() const { return outOfOrder_; }
  uint64_t unreadable() const { return unreadable_; }
  bool any() const { return seen_; }
  uint64_t highest() const { return highest_; }

 private:
  bool seen_ = false;
  uint64_t highest_ = 0;
  uint64_t dropped_ = 0;
  uint64_t outOfOrder_ = 0;
  uint64_t unreadable_ = 0;
};

// Frames and bytes per second over the last `window` of arrival times, plus
// totals since `start`.
class RateWindow {
 public:
  explicit RateWindow(Clock::time_point start, Clock::duration window = std::chrono::seconds(2));
  void add(Clock::time_point arrival, size_t bytes);

  // Rates seen from `now`: frames and bytes that arrived within the window
  // before `now`, divided by the window (or by the time since start while the
  // stream is younger than the window). They fall to 0 when frames stop.
  double framesPerSecond(Clock::time_point now);
  double bytesPerSecond(Clock::time_point now);

  uint64_t totalFrames() const { return totalFrames_; }
  uint64_t totalBytes() const { return totalBytes_; }
  Clock::time_point start() const { return start_; }

 private:
  void trim(Clock::time_point now);
  double span(Clock::time_point now) const;

  struct Arrival {
    Clock::time_point time;
    size_t bytes;
  };
  Clock::time_point start_;
  Clock::duration window_;
  std::deque<Arrival> arrivals_;
  uint64_t windowBytes_ = 0;
  uint64_t totalFrames_ = 0;
  uint64_t totalBytes_ = 0;
};

constexpr double kMiB = 1024.0 * 1024.0;

double Seconds(Clock::duration duration);

// What a progress display shows.
struct Progress {
  uint64_t frames = 0;
  uint64_t target = 0;  // 0: open-ended
  double seconds = 0;
  double framesPerSecond = 0;
  double mibPerSecond = 0;
  uint64_t dropped = 0;
  uint64_t outOfOrder = 0;
  uint64_t overflows = 0;
};

// "[########----------------]  37/100  29.8 frames/s  17.4 MiB/s  0 dropped  0 out of order"
std::string FormatProgressBar(const Progress& progress, unsigned barWidth);

// "  3.0 s   29.9 frames/s -   17.5 MiB/s - 0 errors"
std::string FormatRateLine(double seconds, double framesPerSecond, double mibPerSecond,
                           uint64_t errors);

}  // namespace pyxtool
