// Sequence acquisition against the machine's limits.
//
// Large frames: frames per second of a counted sequence, against two copies of
// the frame per frame (the vendor library's write into the adapter's buffer and
// the host's copy into its ring). Small frames: frames per second against a
// bare producer/consumer hand-off.
//
// The simulated camera runs free, faster than the adapter can take frames,
// so that it is never what holds the adapter below its bound. For large frames
// each round sets its frame interval to half the copy bound's time per frame:
// a frame is always waiting, and the simulator does not spend the machine on
// frames that nobody takes (at four times the bound's rate its thread, making
// and announcing frames on the other core, already slows the adapter's copies
// by a fifth on this machine). For small frames the interval is 1 us: a pull
// finds a new frame whenever a microsecond has passed since the last one.
#include <benchmark/benchmark.h>

#include <functional>
#include <string>

#include "bench/bench_support.h"
#include "bench/bounds.h"

namespace bench {
namespace {

constexpr size_t kRingSlots = 4;

struct Rounds {
  std::vector<double> rates, bounds, ratios;
  // Large frames: per frame, the host's copy in the adapter's sequence and the
  // bound's second copy (the same copy without the adapter).
  std::vector<double> hostCopies, boundRingCopies;
  uint64_t gaps = 0;
  uint64_t torn = 0;
  uint32_t lastIntervalUs = 0;
};

// Runs the measured rounds: `measureBound` answers the bound's rate for this
// round; the camera's interval is then `intervalFactor` / bound rate, at
// least 1 us (so 0 gives 1 us).
// `sequenceCpu` places the sequence thread, which inherits the placement of
// the thread that starts it (-1: anywhere).
bool RunRounds(benchmark::State& state, OpenedCamera& camera, RingHost& host, long frames,
               double intervalFactor, const std::function<double()>& measureBound, Rounds& rounds,
               int sequenceCpu = -1) {
  const pyxsim::Client& sim = Rig::Get().sim();
  for (auto _ : state) {
    const double boundRate = measureBound();
    rounds.lastIntervalUs =
        SimFrameIntervalUs(static_cast<uint32_t>(intervalFactor * 1e6 / boundRate));
    sim.set_frame_interval_us(camera.simIndex(), rounds.lastIntervalUs);
    PinCurrentThread(sequenceCpu);
    const SequenceRound round = RunSequence(camera, host, frames);
    PinCurrentThread(-1);
    if (!round.completed) {
      Skip(state, "the sequence did not finish");
      return false;
    }
    state.SetIterationTime(round.seconds);
    if (round.counts.inserted > 0) {
      rounds.hostCopies.push_back(round.counts.copySeconds /
                                  static_cast<double>(round.counts.inserted));
    }
    rounds.rates.push_back(round.framesPerSecond);
    rounds.bounds.push_back(boundRate);
    rounds.ratios.push_back(round.framesPerSecond / boundRate);
    rounds.gaps += round.counts.gaps;
    rounds.torn += round.counts.torn;
  }
  return true;
}

void Report(benchmark::State& state, const Rounds& rounds, const std::string& name,
            const std::string& boundFigure, double target) {
  const double rate = Median(rounds.rates);
  const double ratio = Median(rounds.ratios);
  state.counters["fps"] = rate;
  state.counters["bound_per_s"] = Median(rounds.bounds);
  state.counters["ratio"] = ratio;
  state.counters["torn"] = static_cast<double>(rounds.torn);
  state.counters["camera_interval_us"] = rounds.lastIntervalUs;

  Result result;
  result.name = name;
  result.figure = "frames/s";
  result.value = rate;
  result.boundFigure = boundFigure;
  result.bound = Median(rounds.bounds);
  result.ratio = ratio;
  char target_text[16];
  std::snprintf(target_text, sizeof target_text, ">= %.2g", target);
  result.target = target_text;
  result.met = ratio >= target && rounds.torn == 0;
  char range[64];
  std::snprintf(range, sizeof range, "ratio range %.2f..%.2f", Percentile(rounds.ratios, 0),
                Percentile(rounds.ratios, 100));
  result.note = std::string(range) + "; frames the camera made that the adapter skipped: " +
                std::to_string(rounds.gaps) + "; torn frames: " + std::to_string(rounds.torn);
  if (!rounds.hostCopies.empty() && !rounds.boundRingCopies.empty()) {
    // Where a large frame's time goes: the rest of a frame is the vendor's copy.
    const double frame = 1.0 / rate;
    const double hostCopy = Median(rounds.hostCopies);
    const double boundFrame = 1.0 / Median(rounds.bounds);
    const double boundRing = Median(rounds.boundRingCopies);
    char split[200];
    std::snprintf(split, sizeof split,
                  "\nper frame, adapter: %.3f ms (host copy %.3f, rest %.3f); bound: %.3f ms "
                  "(ring copy %.3f, first copy %.3f)",
                  frame * 1e3, hostCopy * 1e3, (frame - hostCopy) * 1e3, boundFrame * 1e3,
                  boundRing * 1e3, (boundFrame - boundRing) * 1e3);
    result.note += split;
    state.counters["host_copy_ms"] = hostCopy * 1e3;
    state.counters["bound_ring_copy_ms"] = boundRing * 1e3;
  }
  Record(result);
}

struct LargeShape {
  const char* label;
  const char* model;
  const char* resolution;
  const char* pixelType;
  unsigned width;
  unsigned height;
  unsigned bytesPerPixel;
  long frames;  // per round
};

void SequenceThroughput(benchmark::State& state, const LargeShape& shape) {
  Rig::Get().ResetSimulator();
  const size_t frameBytes = static_cast<size_t>(shape.width) * shape.height * shape.bytesPerPixel;
  RingHost host(frameBytes, kRingSlots);
  CopyBound bound(frameBytes, kRingSlots);
  OpenedCamera camera(shape.model, &host);
  camera.Set("Resolution", shape.resolution);
  camera.Set("PixelType", shape.pixelType);
  RunAsFastAsPossible(camera, SimFrameIntervalUs(1000));
  if (!camera.ok()) return Skip(state, camera.error());
  if (!HasGeometry(camera, shape.width, shape.height, shape.bytesPerPixel)) {
    return Skip(state, "the camera does not deliver the expected frame size");
  }

  const long frames = Scaled(shape.frames, 3L);
  // One warm-up sequence: the first frames after delivery starts, and the
  // first touch of the adapter's buffer, are not what is measured.
  RunSequence(camera, host, Scaled(10L, 2L));

  Rounds rounds;
  const bool ran = RunRounds(
      state, camera, host, frames, 1.0 / 2,
      [&] {
        const double rate = 1.0 / bound.SecondsPerFrame(static_cast<int>(frames));
        rounds.boundRingCopies.push_back(bound.LastRingCopySeconds());
        return rate;
      },
      rounds);
  if (!ran) return;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * frames *
                          static_cast<int64_t>(frameBytes));
  Report(state, rounds, std::string("sequence ") + shape.label, "2 x memcpy(frame), frames/s",
         0.85);
}

void SequenceRateSmallFrames(benchmark::State& state, Placement placement) {
  // Producer: the simulator's thread that delivers frames and events.
  // Consumer: the sequence thread.
  const int producerCpu = kProducerCpu;
  const int consumerCpu = ConsumerCpu(placement);
  const bool placed = CpuCount() > consumerCpu;
  Rig::Get().ResetSimulator();
  RingHost host(64 * 64, kRingSlots);
  if (placed) PinCurrentThread(producerCpu);
  OpenedCamera camera("PX-2600M-COOL", &host);
  PinCurrentThread(-1);
  camera.Set("PixelType", "RAW8");
  RunAsFastAsPossible(camera, SimFrameIntervalUs(1));
  if (!camera.ok()) return Skip(state, camera.error());
  if (camera->SetROI(1024, 1024, 64, 64) != 0 || !HasGeometry(camera, 64, 64, 1)) {
    return Skip(state, "the camera does not deliver a 64 x 64 region");
  }

  // Short rounds, three times as many: the bound and the adapter then see the
  // same state of a shared machine, whose load changes from second to second.
  const long frames = Scaled(5000L, 20L);
  RunSequence(camera, host, Scaled(500L, 2L));

  Rounds rounds;
  const bool ran = RunRounds(
      state, camera, host, frames, 0,
      [&] {
        return placed ? HandoffRate(static_cast<int>(frames), producerCpu, consumerCpu)
                      : HandoffRate(static_cast<int>(frames));
      },
      rounds, placed ? consumerCpu : -1);
  if (!ran) return;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * frames);
  std::string name = std::string("sequence 64x64 mono8, ") + PlacementName(placement);
  if (!placed) name += " (not placed: too few CPUs)";
  Report(state, rounds, name, "mutex+condvar hand-offs/s", 0.7);
}

// Rounds of a few tens of milliseconds each, four times as many as the other
// benchmarks: the load of a shared machine changes within a second.
const LargeShape kColour1080{
    "1920x1080 colour8 (4 B/px)", "PX-678C", "1920 x 1080", "RAW8", 1920, 1080, 4, 40};
const LargeShape kMono4096{
    "4096x3000 mono16 (2 B/px)", "PX-2600M-COOL", "4096 x 3000", "RAW16", 4096, 3000, 2, 12};

}  // namespace

void RegisterSequenceBenchmarks() {
  benchmark::RegisterBenchmark("sequence/colour_1920x1080_8bit", SequenceThroughput, kColour1080)
      ->Iterations(config().smoke ? 1 : config().rounds * 4)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("sequence/mono_4096x3000_16bit", SequenceThroughput, kMono4096)
      ->Iterations(config().smoke ? 1 : config().rounds * 4)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("sequence/mono_64x64_8bit_region/one_core", SequenceRateSmallFrames,
                               Placement::kOneCore)
      ->Iterations(config().smoke ? 1 : config().rounds * 3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("sequence/mono_64x64_8bit_region/two_cores", SequenceRateSmallFrames,
                               Placement::kTwoCores)
      ->Iterations(config().smoke ? 1 : config().rounds * 3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
