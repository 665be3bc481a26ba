// live: a continuous acquisition with a statistics line per second.
//
// Pixels are not copied: the host keeps only each frame's size and its first
// and last words, which carry the simulator's frame number.
#include <chrono>
#include <cstdio>
#include <optional>

#include "host/tool/acquisition.h"
#include "host/tool/command_line.h"
#include "host/tool/commands.h"
#include "host/tool/frame.h"
#include "host/tool/interrupt.h"
#include "host/tool/option_checks.h"
#include "host/tool/stream_stats.h"
#include "host/tool/text_safety.h"
#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

constexpr size_t kLiveRingCapacity = 4096;

// A rate line per second while the camera runs, and the statistics at the end.
class StatisticsPrinter : public FrameSink {
 public:
  explicit StatisticsPrinter(bool quiet) : quiet_(quiet) {}

  void begin(AcquisitionSession& /*session*/) override { nextLine_.reset(); }
  void tick(AcquisitionSession& session, Clock::time_point now) override {
    if (!nextLine_) nextLine_ = session.start() + std::chrono::seconds(1);
    if (now < *nextLine_) return;
    if (!quiet_) {
      std::printf("%s\n", FormatRateLine(Seconds(now - session.start()),
                                         session.rate().framesPerSecond(now),
                                         session.rate().bytesPerSecond(now) / kMiB, Errors(session))
                              .c_str());
      std::fflush(stdout);
    }
    *nextLine_ += std::chrono::seconds(1);
  }
  void end(AcquisitionSession& session) override {
    const double seconds = session.endSeconds();
    const RateWindow& rate = session.rate();
    std::printf("Statistics after %.1f s:\n", seconds);
    std::printf("  completed frames       %llu\n",
                static_cast<unsigned long long>(session.frames()));
    std::printf("  failed frames          %llu\n",
                static_cast<unsigned long long>(session.failed()));
    if (session.usesStamps()) {
      std::printf("  dropped frames         %llu\n",
                  static_cast<unsigned long long>(session.stamps().dropped()));
      std::printf("  out-of-order frames    %llu\n",
                  static_cast<unsigned long long>(session.stamps().outOfOrder()));
    }
    std::printf("  host-buffer overflows  %zu\n", session.overflows());
    std::printf("  average                %.1f frames/s, %.1f MiB/s\n",
                double(rate.totalFrames()) / seconds, double(rate.totalBytes()) / kMiB / seconds);
    std::fflush(stdout);
  }

 private:
  static uint64_t Errors(const AcquisitionSession& session) {
    return session.failed() + session.stamps().dropped() + session.stamps().outOfOrder();
  }

  bool quiet_;
  std::optional<Clock::time_point> nextLine_;
};

}  // namespace

int RunLive(const CommonOptions& options, const LiveOptions& live) {
  CameraContext context(options);
  context.preferFreeRunning();
  pyxhost::RecordingHost& host = context.host();
  host.setCopyPixels(false);
  host.setRingCapacity(kLiveRingCapacity);
  AcquisitionPlan plan;
  plan.continuous = true;
  plan.limit = std::chrono::duration<double>(live.seconds);
  plan.poll = std::chrono::milliseconds(50);
  plan.rateWindow = std::chrono::seconds(1);
  plan.strict = false;
  plan.stopWhenCameraEnds = true;
  AcquisitionSession session(context, plan);

  InterruptGuard interrupt;
  char span[32] = "until stopped";
  if (live.seconds > 0) std::snprintf(span, sizeof span, "for %g s", live.seconds);
  unsigned samplesPerPixel = 1;
  unsigned bitsPerSample = 8;
  const std::string layout =
      FileLayoutFor(session.bytesPerPixel(), &samplesPerPixel, &bitsPerSample)
          ? DescribeLayout(samplesPerPixel, bitsPerSample)
          : std::to_string(session.bytesPerPixel()) + " bytes per pixel";
  std::printf("Live from %s, %u x %u, %s, %s (Ctrl-C stops)\n",
              ValidUtf8(context.camera().name()).c_str(), session.width(), session.height(),
              layout.c_str(), span);
  std::fflush(stdout);

  StatisticsPrinter printer(live.quiet);
  session.add(printer);
  if (session.run() == SessionEnd::kCameraEnded) {
    std::fprintf(stderr, "pyxon: the camera ended the acquisition after %.1f s\n",
                 session.endSeconds());
    return kExitFailure;
  }
  return kExitOk;
}

void RegisterLive(CommandLine& line) {
  auto options = std::make_shared<LiveOptions>();
  CommonOptions& common = line.common();
  CLI::App* live = line.add("live", "run a continuous acquisition and show its rates",
                            [options, &common] { return RunLive(common, *options); });
  live->add_option("--seconds", options->seconds, "how long to run; 0 runs until Ctrl-C")
      ->check(FiniteSeconds())
      ->capture_default_str();
  live->add_flag("-q,--quiet", options->quiet, "only the final statistics");
  AddSettingsOption(live, common, "before starting");
  AddExamples(live, "  pyxon live\n  pyxon live --seconds 0 --camera PX-678C   (until Ctrl-C)\n");
}

}  // namespace pyxtool
