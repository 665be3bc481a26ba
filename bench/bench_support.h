// Shared pieces of the benchmarks: the loaded module and simulator, a host
// whose image ring is allocated once (as a host's circular buffer is), an
// initialised camera device, timing and statistics helpers, and the results
// that the summary prints.
//
// Threads: the benchmark functions run on the main thread; RingHost's
// callbacks come from the camera's sequence thread and the simulator's event
// thread. RingHost guards everything with its one mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "framework/mm_device.h"
#include "host/lib/host.h"
#include "sim/sim_client.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// ---- run configuration ------------------------------------------------------------------

struct Config {
  bool smoke = false;  // one short round of everything: proves it runs, measures nothing
  int rounds = 7;      // measured rounds per benchmark (bound and adapter interleaved)
};
Config& config();

// Ends the benchmark with an error; the run then exits non-zero.
void Skip(benchmark::State& state, const std::string& reason);
bool AnySkipped();

// Picks the full-run or the smoke-run value.
template <typename T>
T Scaled(T full, T smoke) {
  return config().smoke ? smoke : full;
}

// ---- thread placement ------------------------------------------------------------------

// Restricts the calling thread to the process's CPU number `cpu` (0 is the
// first CPU the process could use at start), or with -1 lets it run on all of
// them again. Threads it creates afterwards inherit the placement. False when
// there is no such CPU.
bool PinCurrentThread(int cpu);
// CPUs the process could use at start (read once, before any pinning).
int CpuCount();

// Where the two threads of a hand-off run. A hand-off within one core (a
// context switch) and one between two cores (a wake-up of the other core)
// differ several-fold in cost, and the system may choose either from one
// moment to the next; so a hand-off bound and the adapter are measured with
// the same fixed placement, once for each. The producer (the simulator's
// thread, which starts when the camera opens) runs on CPU 0; the consumer on
// CPU 0 or 1.
enum class Placement { kOneCore, kTwoCores };
constexpr int kProducerCpu = 0;
inline int ConsumerCpu(Placement placement) {
  return placement == Placement::kOneCore ? 0 : 1;
}
inline const char* PlacementName(Placement placement) {
  return placement == Placement::kOneCore ? "one core" : "two cores";
}

// ---- statistics -------------------------------------------------------------------------

double Median(std::vector<double> values);
// Nearest-rank percentile, p in 0..100.
double Percentile(std::vector<double> values, double p);

// ---- the loaded module and simulator ----------------------------------------------------

// Loads the module beside the simulated vendor library once per process and
// initialises it, as the host does at start-up. Exits the process with a
// message when the build is incomplete.
class Rig {
 public:
  static Rig& Get();

  pyxhost::Module& module() { return *module_; }
  const pyxsim::Client& sim() { return *sim_; }
  // Device name and simulator index of the attached camera of this model.
  std::string DeviceName(const std::string& model) const;
  int SimIndex(const std::string& model) const;
  // Restores the simulator's defaults and switches its call trace off: the
  // trace is a test facility that a vendor library does not have.
  void ResetSimulator();

 private:
  Rig();
  std::unique_ptr<pyxhost::Module> module_;
  std::unique_ptr<pyxsim::Client> sim_;
  std::vector<pyxhost::DeviceInfo> devices_;
};

// ---- host -------------------------------------------------------------------------------

// A host stand-in for measurements: it copies each inserted image into the
// next slot of a ring allocated (and touched) once, overwriting the oldest, as
// a host's circular buffer does; it allocates nothing per image. It also reads
// the simulator's frame stamp of each image, to count frames the adapter did
// not take (gaps) and frames that arrived torn.
class RingHost : public HostCallback {
 public:
  RingHost(size_t slotBytes, size_t slots);
  ~RingHost() override = default;

  int LogMessage(const MM::Device* caller, const char* text, bool debugOnly) override;
  int OnPropertyChanged(const MM::Device* caller, const char* name, const char* value) override;
  int OnExposureChanged(const MM::Device* caller, double milliseconds) override;
  int AcquisitionFinished(const MM::Device* caller, int status) override;
  int PrepareForAcquisition(const MM::Device* caller) override;
  int InsertImage(const MM::Device* caller, const unsigned char* pixels, unsigned width,
                  unsigned height, unsigned bytesPerPixel, const char* metadata,
                  bool process) override;
  void ClearImageBuffer(const MM::Device* caller) override;

  struct Counts {
    uint64_t inserted = 0;
    uint64_t finished = 0;
    uint64_t gaps = 0;       // frame numbers skipped between consecutive images
    uint64_t torn = 0;       // images whose two stamps differ
    uint64_t oversized = 0;  // images larger than a slot (refused)
    double copySeconds = 0;  // spent copying pixels into the ring
    Clock::time_point first;
    Clock::time_point last;
  };
  Counts counts() const;
  void ResetCounts();
  // Until `finished` acquisition ends have been reported in total.
  bool WaitFinished(uint64_t finished, std::chrono::milliseconds timeout);
  // Until `inserted` images have been accepted since the last ResetCounts.
  bool WaitInserted(uint64_t inserted, std::chrono::milliseconds timeout);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  size_t slotBytes_;
  std::vector<std::unique_ptr<unsigned char[]>> slots_;
  std::vector<std::string> metadata_;  // per slot, capacity kept
  size_t next_ = 0;
  uint64_t lastStamp_ = 0;
  uint64_t insertedWanted_ = UINT64_MAX;  // what WaitInserted waits for
  Counts counts_;
};

// ---- camera device ------------------------------------------------------------------------

// A camera device created, connected to `host` and initialised; shut down and
// deleted on destruction (after stopping any sequence).
class OpenedCamera {
 public:
  OpenedCamera(const std::string& model, HostCallback* host);
  ~OpenedCamera();
  OpenedCamera(const OpenedCamera&) = delete;
  OpenedCamera& operator=(const OpenedCamera&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  MM::Camera* get() const { return camera_; }
  MM::Camera* operator->() const { return camera_; }
  int simIndex() const { return simIndex_; }
  // Sets a property and records the first failure as the error.
  void Set(const char* name, const std::string& value);
  std::string Get(const char* name) const;
  // Lowest allowed value of a numeric property (its lower limit).
  double LowerLimit(const char* name) const;
  double UpperLimit(const char* name) const;

 private:
  pyxhost::DevicePtr device_;
  MM::Camera* camera_ = nullptr;
  int simIndex_ = -1;
  std::string error_;
};

// Shortest exposure, highest frame rate where the camera has frame-rate
// control, and the simulator's free-running interval set to `intervalUs`.
void RunAsFastAsPossible(OpenedCamera& camera, uint32_t intervalUs);
// The simulator's frame interval: `preferred` (at least 1 us), unless the
// environment sets PYXON_BENCH_SIM_INTERVAL_US (for experiments).
uint32_t SimFrameIntervalUs(uint32_t preferred = 1);

// True when the camera's image buffer has this geometry.
bool HasGeometry(const OpenedCamera& camera, unsigned width, unsigned height,
                 unsigned bytesPerPixel);

// One counted sequence, timed from the first to the last image the host
// received, so that start and stop are not part of the rate.
struct SequenceRound {
  bool completed = false;
  double seconds = 0;          // first to last image
  double framesPerSecond = 0;  // (images - 1) / seconds
  RingHost::Counts counts;
};
SequenceRound RunSequence(OpenedCamera& camera, RingHost& host, long frames);

// ---- results for the summary --------------------------------------------------------------

struct Result {
  std::string name;    // benchmark
  std::string figure;  // what `value` is, with its unit
  double value = 0;
  std::string boundFigure;  // what `bound` is ("-": none)
  double bound = 0;
  double ratio = 0;    // value against bound, as `target` states it
  std::string target;  // e.g. ">= 0.85" (the ratio) or "< 5 ms" (the value)
  bool met = false;
  std::string note;  // extra figures
};
void Record(const Result& result);
const std::vector<Result>& Results();
void PrintSummary();

// ---- allocation counting (alloc_counter.cpp) -------------------------------------------------

struct AllocationCount {
  uint64_t calls = 0;
  uint64_t bytes = 0;
};
// operator new calls of the whole process (the module included) since start.
AllocationCount Allocations();
// Writes the call stacks of the next `count` allocations (any thread) to
// standard error; 0 stops. For finding where an allocation comes from.
void TraceNextAllocations(int count);

// /proc/self/status fields, in kB (0 when unreadable).
struct ResidentSize {
  uint64_t rssKb = 0;
  uint64_t hwmKb = 0;
};
ResidentSize ReadResidentSize();

}  // namespace bench
