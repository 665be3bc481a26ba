// Snap latency in triggered mode at the shortest exposure: the time of one
// SnapImage call (software trigger, wait for the frame event, pull), against a
// bare round trip between two threads through a mutex and condition variables.
// A small region keeps the pull's copy out of the figure.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_support.h"
#include "bench/bounds.h"

namespace bench {
namespace {

// The host's thread (the caller of SnapImage) is the consumer; the
// simulator's thread, which makes the frame and calls back, the producer.
void SnapLatency(benchmark::State& state, Placement placement) {
  const int consumerCpu = ConsumerCpu(placement);
  const bool placed = CpuCount() > consumerCpu;
  Rig::Get().ResetSimulator();
  RingHost host(64 * 64, 1);
  if (placed) PinCurrentThread(kProducerCpu);
  OpenedCamera camera("PX-2600M-COOL", &host);
  PinCurrentThread(-1);
  camera.Set("PixelType", "RAW8");
  // A triggered frame is made 1 us after its trigger: the camera adds nothing.
  RunAsFastAsPossible(camera, SimFrameIntervalUs(1));
  if (!camera.ok()) return Skip(state, camera.error());
  if (camera->SetROI(1024, 1024, 64, 64) != 0 || !HasGeometry(camera, 64, 64, 1)) {
    return Skip(state, "the camera does not deliver a 64 x 64 region");
  }

  const int snaps = Scaled(400, 3);
  for (int i = 0; i < Scaled(20, 1); ++i) camera->SnapImage();  // warm-up

  std::vector<double> latencies, trips;
  int failures = 0;
  for (auto _ : state) {
    const std::vector<double> bound =
        placed ? HandoffRoundTrips(snaps, kProducerCpu, consumerCpu) : HandoffRoundTrips(snaps);
    trips.insert(trips.end(), bound.begin(), bound.end());
    if (placed) PinCurrentThread(consumerCpu);
    double roundSeconds = 0;
    for (int i = 0; i < snaps; ++i) {
      const Clock::time_point start = Clock::now();
      const int result = camera->SnapImage();
      const double seconds = SecondsBetween(start, Clock::now());
      if (result != 0) ++failures;
      latencies.push_back(seconds);
      roundSeconds += seconds;
    }
    PinCurrentThread(-1);
    state.SetIterationTime(roundSeconds / snaps);
  }
  if (failures != 0) return Skip(state, "a snap failed");
  const double median = Median(latencies);
  const double p99 = Percentile(latencies, 99);
  const double trip = Median(trips);
  state.counters["median_us"] = median * 1e6;
  state.counters["p99_us"] = p99 * 1e6;
  state.counters["bound_us"] = trip * 1e6;
  state.counters["x_bound"] = median / trip;

  Result result;
  result.name = std::string("snap 64x64 triggered, ") + PlacementName(placement);
  if (!placed) result.name += " (not placed: too few CPUs)";
  result.figure = "median us";
  result.value = median * 1e6;
  result.boundFigure = "hand-off round trip, us";
  result.bound = trip * 1e6;
  result.ratio = median / trip;
  result.target = "<= 2";
  result.met = result.ratio <= 2.0;
  char note[160];
  std::snprintf(note, sizeof note, "p99 %.1f us (bound p99 %.1f us); ratio = median / bound",
                p99 * 1e6, Percentile(trips, 99) * 1e6);
  result.note = note;
  Record(result);
}

}  // namespace

void RegisterSnapBenchmarks() {
  benchmark::RegisterBenchmark("snap/triggered_latency/one_core", SnapLatency, Placement::kOneCore)
      ->Iterations(config().rounds)
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("snap/triggered_latency/two_cores", SnapLatency,
                               Placement::kTwoCores)
      ->Iterations(config().rounds)
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace bench
