// One acquisition from start to stop, feeding the frames to sinks (files,
// displays, statistics printers).
//
// Threads: the device's sequence thread inserts frames into the host's ring;
// the session and its sinks run on the one thread that calls run(). The ring is
// the only thing the two share, and it has its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "host/tool/commands.h"
#include "host/tool/frame_metadata.h"
#include "host/tool/stream_stats.h"

namespace pyxtool {

class AcquisitionSession;

// Receives what a session acquires. A sink sees the session's start, each
// frame it accepts, a tick after every poll of the ring, and the end.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Before the camera starts.
  virtual void begin(AcquisitionSession& /*session*/) {}
  // A frame, with its record (index among the frames accepted, stamp, arrival
  // time, the device's metadata). Sinks see it in the order they were added and
  // may take its pixels, which the later sinks then no longer see. A sink that
  // can take no more frames returns false: the session stops, the frame does
  // not count, and the later sinks do not see it.
  virtual bool frame(pyxhost::HostImage& /*image*/, const FrameRecord& /*record*/) { return true; }
  virtual void tick(AcquisitionSession& /*session*/, Clock::time_point /*now*/) {}
  // After the camera stopped and the last frames were handed on.
  virtual void end(AcquisitionSession& /*session*/) {}
};

struct AcquisitionPlan {
  // The continuous sequence; otherwise an open-ended counted one, which the
  // session stops when `target` frames were accepted (the device also counts
  // the frames a host-buffer overflow cleared again).
  bool continuous = false;
  bool stopOnOverflow = false;
  uint64_t target = 0;                     // 0: no count; frames beyond it are ignored
  std::chrono::duration<double> limit{0};  // 0: no time limit; any length is fine
  std::chrono::milliseconds poll{100};     // longest wait for frames between ticks
  Clock::duration rateWindow = std::chrono::seconds(2);
  // A strict session ends with an error on a frame of another size than the
  // camera's, and keeps a frame whose stamp is unreadable (counted as such);
  // otherwise either frame counts as failed and goes no further.
  bool strict = true;
  // Also stop the camera after it ended the sequence on its own.
  bool stopWhenCameraEnds = false;
};

enum class SessionEnd {
  kCountReached,
  kInterrupted,  // a signal (see InterruptGuard)
  kTimeElapsed,
  kCameraEnded,  // the camera finished the sequence before the tool stopped it
  kSinkEnded,    // a sink could take no more frames
};

class AcquisitionSession {
 public:
  AcquisitionSession(CameraContext& context, const AcquisitionPlan& plan);

  // Sinks are not owned; they must outlive run().
  void add(FrameSink& sink) { sinks_.push_back(&sink); }
  // Starts the camera, hands the frames on until the session ends, stops the
  // camera. Throws ToolError when the camera does not start, or when a strict
  // session gets a frame of another size (the camera is then stopped by the
  // context).
  SessionEnd run();

  CameraContext& context() { return context_; }
  const AcquisitionPlan& plan() const { return plan_; }
  unsigned width() const { return width_; }
  unsigned height() const { return height_; }
  unsigned bytesPerPixel() const { return bytesPerPixel_; }
  size_t frameBytes() const { return size_t{width_} * height_ * bytesPerPixel_; }
  bool usesStamps() const { return useStamps_; }

  Clock::time_point start() const { return start_; }
  std::chrono::system_clock::time_point wallStart() const { return wallStart_; }
  // Seconds from the start to the moment the session ended.
  double endSeconds() const { return Seconds(ended_ - start_); }

  uint64_t frames() const { return frames_; }  // accepted by every sink
  uint64_t failed() const { return failed_; }  // torn or of the wrong size (not strict)
  const StampTracker& stamps() const { return stamps_; }
  RateWindow& rate() { return rate_; }
  size_t overflows() const;
  // Arrival of the last frame accepted, in seconds since the start (0: none).
  double lastFrameSeconds() const { return lastSeconds_; }

 private:
  void startCamera();
  // Hands the images on; returns false when a sink refused one.
  bool deliver(std::vector<pyxhost::HostImage> images);
  FrameRecord recordOf(pyxhost::HostImage& image) const;

  CameraContext& context_;
  AcquisitionPlan plan_;
  std::vector<FrameSink*> sinks_;
  unsigned width_;
  unsigned height_;
  unsigned bytesPerPixel_;
  bool useStamps_;
  Clock::time_point start_;
  Clock::time_point ended_;
  std::chrono::system_clock::time_point wallStart_;
  RateWindow rate_;
  StampTracker stamps_;
  uint64_t frames_ = 0;
  uint64_t failed_ = 0;
  double lastSeconds_ = 0;
  bool refused_ = false;
};

}  // namespace pyxtool
