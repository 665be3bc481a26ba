// The acquisition loop shared by the commands that stream frames.
#include "host/tool/acquisition.h"

#include <limits>

#include "host/tool/interrupt.h"
#include "host/tool/tool_error.h"

namespace pyxtool {

AcquisitionSession::AcquisitionSession(CameraContext& context, const AcquisitionPlan& plan)
    : context_(context),
      plan_(plan),
      width_(context.device().GetImageWidth()),
      height_(context.device().GetImageHeight()),
      bytesPerPixel_(context.device().GetImageBytesPerPixel()),
      useStamps_(context.framesCarryStamps()),
      start_(Clock::now()),
      ended_(start_),
      rate_(start_, plan.rateWindow) {}

size_t AcquisitionSession::overflows() const {
  return context_.host().rejectedCount();
}

void AcquisitionSession::startCamera() {
  start_ = Clock::now();
  rate_ = RateWindow(start_, plan_.rateWindow);
  wallStart_ = std::chrono::system_clock::now();
  MM::Camera& device = context_.device();
  const int result = plan_.continuous
                         ? device.StartSequenceAcquisition(0.0)  // continuous (slot 71)
                         : device.StartSequenceAcquisition(std::numeric_limits<long>::max(), 0.0,
                                                           plan_.stopOnOverflow);
  if (result != 0) {
    throw ToolError(kExitFailure, "cannot start the acquisition: " + context_.errorText(result));
  }
}

FrameRecord AcquisitionSession::recordOf(pyxhost::HostImage& image) const {
  FrameRecord record;
  record.index = frames_;
  if (useStamps_) record.stamp = StampOf(image);
  record.seconds = Seconds(image.received - start_);
  record.timestamp =
      IsoUtc(wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                              image.received - start_));
  record.metadata = std::move(image.metadata);
  return record;
}

bool AcquisitionSession::deliver(std::vector<pyxhost::HostImage> images) {
  for (pyxhost::HostImage& image : images) {
    if (refused_) return false;
    if (plan_.target > 0 && frames_ >= plan_.target) return true;  // taken while stopping
    const size_t bytes = image.byteCount;
    if (plan_.strict) {
      if (image.width != width_ || image.height != height_ || image.bytesPerPixel != bytesPerPixel_)
        throw ToolError(kExitFailure, "the camera changed its image size during the recording");
    } else if (bytes != frameBytes() || (useStamps_ && !StampOf(image))) {
      rate_.add(image.received, bytes);
      ++failed_;
      continue;
    }
    const FrameRecord record = recordOf(image);
    for (FrameSink* sink : sinks_) {
      if (!sink->frame(image, record)) {
        refused_ = true;
        return false;
      }
    }
    // Only frames every sink took count.
    if (useStamps_) {
      if (record.stamp)
        stamps_.add(*record.stamp);
      else
        stamps_.addUnreadable();
    }
    rate_.add(image.received, bytes);
    lastSeconds_ = record.seconds;
    ++frames_;
  }
  return !refused_;
}

SessionEnd AcquisitionSession::run() {
  pyxhost::RecordingHost& host = context_.host();
  for (FrameSink* sink : sinks_) sink->begin(*this);
  startCamera();
  SessionEnd end;
  while (true) {
    host.waitForImages(1, plan_.poll);
    // Read the camera's end before taking: every image inserted before it is
    // then in this take.
    const bool cameraEnded = host.finishedCount() > 0;
    deliver(host.takeImages());
    const Clock::time_point now = Clock::now();
    for (FrameSink* sink : sinks_) sink->tick(*this, now);
    if (refused_) {
      end = SessionEnd::kSinkEnded;
    } else if (plan_.target > 0 && frames_ >= plan_.target) {
      end = SessionEnd::kCountReached;
    } else if (InterruptGuard::requested()) {
      end = SessionEnd::kInterrupted;
    } else if (plan_.limit.count() > 0 && now - start_ >= plan_.limit) {
      end = SessionEnd::kTimeElapsed;
    } else if (cameraEnded) {
      end = SessionEnd::kCameraEnded;
    } else {
      continue;
    }
    break;
  }
  if (end != SessionEnd::kCameraEnded || plan_.stopWhenCameraEnds) {
    context_.device().StopSequenceAcquisition();  // returns once the sequence thread has ended
    deliver(host.takeImages());
    // The frames that arrived while stopping may have completed the count.
    if (end == SessionEnd::kInterrupted && plan_.target > 0 && frames_ >= plan_.target)
      end = SessionEnd::kCountReached;
  }
  ended_ = Clock::now();
  for (FrameSink* sink : sinks_) sink->end(*this);
  return end;
}

}  // namespace pyxtool
