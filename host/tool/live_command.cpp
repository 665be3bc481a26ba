// live: a continuous acquisition with a statistics line per second.
//
// Pixels are not copied: the host keeps only each frame's size and its first
// and last words, which carry the simulator's frame number.
#include <chrono>
#include <cstdio>

#include "host/tool/commands.h"
#include "host/tool/frame.h"
#include "host/tool/interrupt.h"
#include "host/tool/stream_stats.h"
#include "host/tool/text_safety.h"
#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

constexpr size_t kLiveRingCapacity = 4096;

struct LiveStatistics {
  uint64_t completed = 0;  // frames received with a valid stamp (or any frame without stamps)
  uint64_t failed = 0;     // frames received torn or of the wrong size
  StampTracker stamps;
  uint64_t errors() const { return failed + stamps.dropped() + stamps.outOfOrder(); }
};

void PrintStatistics(const LiveStatistics& statistics, const RateWindow& rate, size_t overflows,
                     double seconds, bool useStamps) {
  std::printf("Statistics after %.1f s:\n", seconds);
  std::printf("  completed frames       %llu\n",
              static_cast<unsigned long long>(statistics.completed));
  std::printf("  failed frames          %llu\n",
              static_cast<unsigned long long>(statistics.failed));
  if (useStamps) {
    std::printf("  dropped frames         %llu\n",
                static_cast<unsigned long long>(statistics.stamps.dropped()));
    std::printf("  out-of-order frames    %llu\n",
                static_cast<unsigned long long>(statistics.stamps.outOfOrder()));
  }
  std::printf("  host-buffer overflows  %zu\n", overflows);
  std::printf("  average                %.1f frames/s, %.1f MiB/s\n",
              double(rate.totalFrames()) / seconds, double(rate.totalBytes()) / kMiB / seconds);
}

}  // namespace

int RunLive(const CommonOptions& options, const LiveOptions& live) {
  CameraContext context(options);
  context.preferFreeRunning();
  MM::Camera& device = context.device();
  pyxhost::RecordingHost& host = context.host();
  host.setCopyPixels(false);
  host.setRingCapacity(kLiveRingCapacity);
  const bool useStamps = context.framesCarryStamps();
  const size_t expectedBytes =
      size_t{device.GetImageWidth()} * device.GetImageHeight() * device.GetImageBytesPerPixel();

  InterruptGuard interrupt;
  char span[32] = "until stopped";
  if (live.seconds > 0) std::snprintf(span, sizeof span, "for %g s", live.seconds);
  unsigned samplesPerPixel = 1;
  unsigned bitsPerSample = 8;
  const std::string layout =
      FileLayoutFor(device.GetImageBytesPerPixel(), &samplesPerPixel, &bitsPerSample)
          ? DescribeLayout(samplesPerPixel, bitsPerSample)
          : std::to_string(device.GetImageBytesPerPixel()) + " bytes per pixel";
  std::printf("Live from %s, %u x %u, %s, %s (Ctrl-C stops)\n",
              ValidUtf8(context.camera().name()).c_str(), device.GetImageWidth(),
              device.GetImageHeight(), layout.c_str(), span);
  std::fflush(stdout);

  const Clock::time_point start = Clock::now();
  RateWindow rate(start, std::chrono::seconds(1));
  LiveStatistics statistics;
  auto absorb = [&](std::vector<pyxhost::HostImage> images) {
    for (const pyxhost::HostImage& image : images) {
      rate.add(image.received, image.byteCount);
      const auto stamp = useStamps ? StampOf(image) : std::optional<uint64_t>(0);
      if (image.byteCount != expectedBytes || !stamp) {
        ++statistics.failed;
        continue;
      }
      if (useStamps) statistics.stamps.add(*stamp);
      ++statistics.completed;
    }
  };

  const int result = device.StartSequenceAcquisition(0.0);  // continuous (slot 71)
  if (result != 0) {
    throw ToolError(kExitFailure, "cannot start the acquisition: " + context.errorText(result));
  }
  const auto duration = std::chrono::duration<double>(live.seconds);
  auto nextLine = start + std::chrono::seconds(1);
  bool endedByCamera = false;
  while (true) {
    host.waitForImages(1, std::chrono::milliseconds(50));
    absorb(host.takeImages());
    const Clock::time_point now = Clock::now();
    if (now >= nextLine) {
      if (!live.quiet) {
        std::printf("%s\n", FormatRateLine(Seconds(now - start), rate.framesPerSecond(now),
                                           rate.bytesPerSecond(now) / kMiB, statistics.errors())
                                .c_str());
        std::fflush(stdout);
      }
      nextLine += std::chrono::seconds(1);
    }
    if (InterruptGuard::requested()) break;
    if (live.seconds > 0 && now - start >= duration) break;
    if (host.finishedCount() > 0) {
      endedByCamera = true;
      break;
    }
  }
  device.StopSequenceAcquisition();  // returns once the sequence thread has ended
  absorb(host.takeImages());
  const double seconds = Seconds(Clock::now() - start);

  PrintStatistics(statistics, rate, host.rejectedCount(), seconds, useStamps);
  std::fflush(stdout);
  if (endedByCamera) {
    std::fprintf(stderr, "pyxon: the camera ended the acquisition after %.1f s\n", seconds);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pyxtool
