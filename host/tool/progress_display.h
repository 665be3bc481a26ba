// Progress of an acquisition on stderr: a redrawn bar on a terminal, one line
// per second otherwise (logs, pipes, tests).
#pragma once

#include "host/tool/stream_stats.h"

namespace pyxtool {

class ProgressDisplay {
 public:
  explicit ProgressDisplay(bool enabled);
  // Shows `progress` unless the last display is too recent.
  void update(const Progress& progress, Clock::time_point now);
  // Shows the final state and ends the line.
  void finish(const Progress& progress);

 private:
  void draw(const Progress& progress);

  bool enabled_;
  bool terminal_;
  bool drawn_ = false;
  Clock::time_point last_{};
};

}  // namespace pyxtool
