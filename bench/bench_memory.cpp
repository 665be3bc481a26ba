// Memory over a long sequence whose region shrinks and grows while it runs:
// resident size (VmRSS, VmHWM) after every phase, and operator new calls of
// the process (the module's included) while frames stream and at each region
// change. The adapter's buffer may grow only when a frame larger than any
// before arrives; streaming itself should allocate nothing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_support.h"

namespace bench {
namespace {

struct Phase {
  unsigned width;  // 0: the full frame (ClearROI)
  unsigned height;
  long frames;
};

// 10,000 frames in all. Large phases are short so that the run stays brief.
const Phase kPhases[] = {
    {512, 512, 1200},  {256, 256, 1200},  {1024, 1024, 800}, {128, 128, 1200},
    {2048, 1500, 300}, {640, 480, 1000},  {2048, 1500, 300}, {0, 0, 100},
    {64, 64, 1500},    {1024, 768, 1000}, {0, 0, 100},       {320, 240, 1300},
};

constexpr const char* kModel = "PX-2600M-COOL";
constexpr unsigned kFullWidth = 4096;
constexpr unsigned kFullHeight = 3000;

struct PhaseRecord {
  uint64_t frameBytes = 0;
  bool grows = false;                 // larger than every frame before
  AllocationCount changeAllocations;  // during the region change
  AllocationCount streamAllocations;  // while the phase's frames streamed
  uint64_t rssKb = 0;                 // at the end of the phase
};

// PYXON_BENCH_ALLOC_TRACE=N: call stacks of the first N allocations while
// frames stream in a phase that does not grow the frame.
int TraceCount() {
  const char* text = std::getenv("PYXON_BENCH_ALLOC_TRACE");
  return text != nullptr ? std::atoi(text) : 0;
}

AllocationCount Minus(AllocationCount a, AllocationCount b) {
  return {a.calls - b.calls, a.bytes - b.bytes};
}

void SequenceMemory(benchmark::State& state) {
  Rig& rig = Rig::Get();
  rig.ResetSimulator();
  // The camera opens with a small region, so that the adapter sizes its
  // buffer small and the phases decide every growth.
  const int simIndex = rig.SimIndex(kModel);
  for (const auto& [key, value] :
       {std::pair<const char*, int64_t>{"roi.x", 0}, {"roi.y", 0}, {"roi.w", 64}, {"roi.h", 64}}) {
    rig.sim().set_state(simIndex, key, value);
  }
  RingHost host(static_cast<size_t>(kFullWidth) * kFullHeight, 2);
  OpenedCamera camera(kModel, &host);
  camera.Set("PixelType", "RAW8");
  RunAsFastAsPossible(camera, SimFrameIntervalUs(20));
  if (!camera.ok()) return Skip(state, camera.error());
  if (!HasGeometry(camera, 64, 64, 1)) return Skip(state, "the camera did not open with 64 x 64");

  const double scale = Scaled(1.0, 0.01);

  std::vector<PhaseRecord> records;
  const ResidentSize before = ReadResidentSize();
  uint64_t largest = 64 * 64;
  uint64_t torn = 0;
  uint64_t frames = 0;
  double seconds = 0;
  AllocationCount startAllocations;
  for (auto _ : state) {
    host.ResetCounts();
    const uint64_t finished = host.counts().finished;
    const Clock::time_point start = Clock::now();
    const AllocationCount beforeStart = Allocations();
    // Continuous: each phase takes its frames after its region change, and
    // the sequence is stopped after the last phase.
    if (camera->StartSequenceAcquisition(LONG_MAX, 0.0, false) != 0) {
      return Skip(state, "the sequence did not start");
    }
    // The start (thread, first image's metadata text) may allocate; it is
    // counted apart from the streaming.
    host.WaitInserted(1, std::chrono::seconds(60));
    startAllocations = Minus(Allocations(), beforeStart);
    for (const Phase& p : kPhases) {
      PhaseRecord record;
      const AllocationCount beforeChange = Allocations();
      const int changed =
          p.width == 0 ? camera->ClearROI() : camera->SetROI(256, 256, p.width, p.height);
      const AllocationCount afterChange = Allocations();
      if (changed != 0) return Skip(state, "a region change failed");
      record.changeAllocations = Minus(afterChange, beforeChange);
      record.frameBytes = static_cast<uint64_t>(camera->GetImageBufferSize());
      record.grows = record.frameBytes > largest;
      largest = std::max(largest, record.frameBytes);
      if (!record.grows) TraceNextAllocations(TraceCount());
      const uint64_t reached =
          host.counts().inserted +
          static_cast<uint64_t>(std::max(2L, static_cast<long>(p.frames * scale)));
      if (!host.WaitInserted(reached, std::chrono::seconds(120))) {
        camera->StopSequenceAcquisition();
        return Skip(state, "the sequence stalled");
      }
      TraceNextAllocations(0);
      record.streamAllocations = Minus(Allocations(), afterChange);
      record.rssKb = ReadResidentSize().rssKb;
      records.push_back(record);
    }
    camera->StopSequenceAcquisition();
    host.WaitFinished(finished + 1, std::chrono::seconds(120));
    seconds = SecondsBetween(start, Clock::now());
    state.SetIterationTime(seconds);
    torn += host.counts().torn;
    frames = host.counts().inserted;
  }
  const ResidentSize after = ReadResidentSize();

  // Steady: after the last growth, the resident size should not move.
  size_t lastGrowth = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].grows) lastGrowth = i;
  }
  uint64_t steadyMin = UINT64_MAX, steadyMax = 0;
  for (size_t i = lastGrowth; i < records.size(); ++i) {
    steadyMin = std::min(steadyMin, records[i].rssKb);
    steadyMax = std::max(steadyMax, records[i].rssKb);
  }
  uint64_t streamCalls = 0, changeCallsNoGrowth = 0, changeCallsGrowth = 0, growths = 0;
  for (const PhaseRecord& r : records) {
    streamCalls += r.streamAllocations.calls;
    (r.grows ? changeCallsGrowth : changeCallsNoGrowth) += r.changeAllocations.calls;
    growths += r.grows;
  }

  state.counters["frames"] = static_cast<double>(frames);
  state.counters["rss_start_MB"] = before.rssKb / 1024.0;
  state.counters["rss_end_MB"] = after.rssKb / 1024.0;
  state.counters["hwm_MB"] = after.hwmKb / 1024.0;
  state.counters["steady_drift_kB"] = static_cast<double>(steadyMax - steadyMin);
  state.counters["allocs_start"] = static_cast<double>(startAllocations.calls);
  state.counters["allocs_streaming"] = static_cast<double>(streamCalls);
  state.counters["allocs_change_growing"] = static_cast<double>(changeCallsGrowth);
  state.counters["allocs_change_other"] = static_cast<double>(changeCallsNoGrowth);
  state.counters["torn"] = static_cast<double>(torn);

  if (std::getenv("PYXON_BENCH_VERBOSE") != nullptr) {
    for (size_t i = 0; i < records.size(); ++i) {
      const PhaseRecord& r = records[i];
      std::fprintf(stderr,
                   "phase %2zu: frame %9llu B%s change allocs %llu (%llu B) stream allocs %llu "
                   "(%llu B) rss %llu kB\n",
                   i, static_cast<unsigned long long>(r.frameBytes), r.grows ? " grows" : "      ",
                   static_cast<unsigned long long>(r.changeAllocations.calls),
                   static_cast<unsigned long long>(r.changeAllocations.bytes),
                   static_cast<unsigned long long>(r.streamAllocations.calls),
                   static_cast<unsigned long long>(r.streamAllocations.bytes),
                   static_cast<unsigned long long>(r.rssKb));
    }
  }

  Result result;
  result.name = "memory, 10000 frames, regions";
  result.figure = "allocations while streaming";
  result.value = static_cast<double>(streamCalls);
  result.boundFigure = "-";
  result.bound = 0;
  result.ratio = 0;
  result.target = "0, flat";
  // Flat: within 1 MB once the largest frame has been seen (the frame itself
  // is 12 MB); allocations only at region changes that grow the frame.
  result.met =
      streamCalls == 0 && changeCallsNoGrowth == 0 && steadyMax - steadyMin < 1024 && torn == 0;
  char note[400];
  std::snprintf(
      note, sizeof note,
      "%llu frames; RSS start %.1f MB, end %.1f MB, peak (VmHWM) %.1f MB, steady drift "
      "%llu kB; "
      "start %llu allocations; region changes: %llu growing (%llu allocations), %zu "
      "others (%llu allocations)",
      static_cast<unsigned long long>(frames), before.rssKb / 1024.0, after.rssKb / 1024.0,
      after.hwmKb / 1024.0, static_cast<unsigned long long>(steadyMax - steadyMin),
      static_cast<unsigned long long>(startAllocations.calls),
      static_cast<unsigned long long>(growths), static_cast<unsigned long long>(changeCallsGrowth),
      records.size() - static_cast<size_t>(growths),
      static_cast<unsigned long long>(changeCallsNoGrowth));
  result.note = note;
  Record(result);
}

}  // namespace

void RegisterMemoryBenchmarks() {
  benchmark::RegisterBenchmark("memory/sequence_10000_frames_regions", SequenceMemory)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
