#include "bench/bench_support.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/sim_control.h"

namespace bench {

Config& config() {
  static Config instance;
  return instance;
}

namespace {
bool g_skipped = false;
}  // namespace

void Skip(benchmark::State& state, const std::string& reason) {
  g_skipped = true;
  state.SkipWithError(reason.c_str());
}

bool AnySkipped() {
  return g_skipped;
}

// ---- thread placement ------------------------------------------------------------------

namespace {

// The CPUs the process may use, as it started.
const std::vector<int>& ProcessCpus() {
  static const std::vector<int> cpus = [] {
    std::vector<int> list;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
      for (int i = 0; i < CPU_SETSIZE; ++i) {
        if (CPU_ISSET(i, &set)) list.push_back(i);
      }
    }
    return list;
  }();
  return cpus;
}

}  // namespace

int CpuCount() {
  return static_cast<int>(ProcessCpus().size());
}

bool PinCurrentThread(int cpu) {
  const std::vector<int>& cpus = ProcessCpus();
  if (cpus.empty() || cpu >= static_cast<int>(cpus.size())) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu < 0) {
    for (int id : cpus) CPU_SET(id, &set);
  } else {
    CPU_SET(cpus[static_cast<size_t>(cpu)], &set);
  }
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// ---- statistics -------------------------------------------------------------------------

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<long>(middle), values.end());
  const double upper = values[middle];
  if (values.size() % 2 != 0) return upper;
  const double lower =
      *std::max_element(values.begin(), values.begin() + static_cast<long>(middle));
  return (lower + upper) / 2;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  const size_t index = static_cast<size_t>(std::max(1.0, rank)) - 1;
  return values[std::min(index, values.size() - 1)];
}

// ---- rig --------------------------------------------------------------------------------

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "pyxon_bench: %s\n", what.c_str());
  std::exit(2);
}

}  // namespace

Rig& Rig::Get() {
  static Rig rig;
  return rig;
}

Rig::Rig() {
  std::string error;
  module_ = pyxhost::Module::Load(pyxhost::DefaultModulePath(), &error);
  if (!module_) Fail("cannot load the module: " + error);
  // The module loads the vendor library first, with its own flags; the
  // simulator's control interface then binds to that instance.
  module_->InitializeModuleData();
  sim_ = std::make_unique<pyxsim::Client>(pyxhost::BuildLibraryDirectory() + "/libPyxon.so");
  if (!sim_->ok()) Fail("cannot reach the simulator: " + sim_->error());
  sim_->reset();
  sim_->trace_enable(0);
  devices_ = module_->ListDevices();
  if (devices_.empty()) Fail("the module lists no camera");
}

std::string Rig::DeviceName(const std::string& model) const {
  const int index = SimIndex(model);
  if (index < 0 || static_cast<size_t>(index) >= devices_.size()) Fail("no camera " + model);
  return devices_[static_cast<size_t>(index)].name;
}

int Rig::SimIndex(const std::string& model) const {
  // The module lists the cameras in the simulator's order, named by their
  // display names, which default to the model names.
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].name == model) return static_cast<int>(i);
  }
  return -1;
}

void Rig::ResetSimulator() {
  sim_->reset();
  sim_->trace_enable(0);
}

// ---- host -------------------------------------------------------------------------------

RingHost::RingHost(size_t slotBytes, size_t slots)
    : slotBytes_(slotBytes), metadata_(std::max<size_t>(1, slots)) {
  for (size_t i = 0; i < std::max<size_t>(1, slots); ++i) {
    slots_.emplace_back(new unsigned char[slotBytes]);
    // Touch every page now, so that no first-touch fault lands in a measurement.
    std::memset(slots_.back().get(), 0, slotBytes);
    metadata_[i].reserve(256);
  }
}

int RingHost::LogMessage(const MM::Device*, const char*, bool) {
  return 0;
}
int RingHost::OnPropertyChanged(const MM::Device*, const char*, const char*) {
  return 0;
}
int RingHost::OnExposureChanged(const MM::Device*, double) {
  return 0;
}

int RingHost::AcquisitionFinished(const MM::Device*, int) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.finished;
  }
  changed_.notify_all();
  return 0;
}

int RingHost::PrepareForAcquisition(const MM::Device*) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastStamp_ = 0;
  return 0;
}

int RingHost::InsertImage(const MM::Device*, const unsigned char* pixels, unsigned width,
                          unsigned height, unsigned bytesPerPixel, const char* metadata, bool) {
  const size_t bytes = static_cast<size_t>(width) * height * bytesPerPixel;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pixels == nullptr || bytes > slotBytes_) {
      ++counts_.oversized;
      return 1;
    }
    unsigned char* slot = slots_[next_].get();
    const Clock::time_point copyStart = Clock::now();
    std::memcpy(slot, pixels, bytes);
    counts_.copySeconds += SecondsBetween(copyStart, Clock::now());
    metadata_[next_].assign(metadata != nullptr ? metadata : "");
    next_ = (next_ + 1) % slots_.size();

    uint64_t stamp = 0;
    if (!pyxsim_read_stamp(slot, bytes, &stamp)) {
      ++counts_.torn;
    } else {
      if (lastStamp_ != 0 && stamp > lastStamp_ + 1) counts_.gaps += stamp - lastStamp_ - 1;
      lastStamp_ = stamp;
    }
    const Clock::time_point now = Clock::now();
    if (counts_.inserted == 0) counts_.first = now;
    counts_.last = now;
    ++counts_.inserted;
    // Wake a waiter only when what it waits for has happened: a wake-up per
    // image would cost the adapter's threads a context switch per frame.
    if (counts_.inserted < insertedWanted_) return 0;
  }
  changed_.notify_all();
  return 0;
}

void RingHost::ClearImageBuffer(const MM::Device*) {}

RingHost::Counts RingHost::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

void RingHost::ResetCounts() {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t finished = counts_.finished;
  counts_ = Counts();
  counts_.finished = finished;
  lastStamp_ = 0;
}

bool RingHost::WaitFinished(uint64_t finished, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return counts_.finished >= finished; });
}

bool RingHost::WaitInserted(uint64_t inserted, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  insertedWanted_ = inserted;
  const bool reached =
      changed_.wait_for(lock, timeout, [&] { return counts_.inserted >= inserted; });
  insertedWanted_ = UINT64_MAX;
  return reached;
}

// ---- camera device ------------------------------------------------------------------------

OpenedCamera::OpenedCamera(const std::string& model, HostCallback* host) {
  Rig& rig = Rig::Get();
  simIndex_ = rig.SimIndex(model);
  device_ = rig.module().Create(rig.DeviceName(model));
  if (!device_) {
    error_ = "CreateDevice failed for " + model;
    return;
  }
  camera_ = pyxhost::AsCamera(device_.get());
  camera_->SetCallback(host);
  const int result = camera_->Initialize();
  if (result != 0) error_ = "Initialize of " + model + " answered " + std::to_string(result);
}

OpenedCamera::~OpenedCamera() {
  if (camera_ == nullptr) return;
  camera_->StopSequenceAcquisition();
  camera_->Shutdown();
}

void OpenedCamera::Set(const char* name, const std::string& value) {
  if (camera_ == nullptr || !camera_->HasProperty(name)) return;
  const int result = camera_->SetProperty(name, value.c_str());
  if (result != 0 && error_.empty()) {
    error_ =
        std::string("setting ") + name + " to " + value + " answered " + std::to_string(result);
  }
}

std::string OpenedCamera::Get(const char* name) const {
  char value[MM::kMaxHostText] = {};
  if (camera_ == nullptr || camera_->GetProperty(name, value) != 0) return std::string();
  return value;
}

double OpenedCamera::LowerLimit(const char* name) const {
  double lower = 0;
  if (camera_ != nullptr) camera_->GetPropertyLowerLimit(name, lower);
  return lower;
}

double OpenedCamera::UpperLimit(const char* name) const {
  double upper = 0;
  if (camera_ != nullptr) camera_->GetPropertyUpperLimit(name, upper);
  return upper;
}

namespace {

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

}  // namespace

void RunAsFastAsPossible(OpenedCamera& camera, uint32_t intervalUs) {
  // A camera with I/O lines waits for a hardware trigger during a sequence
  // unless the software source is selected; then it runs free.
  if (camera->HasProperty("IO:Trigger Source")) camera.Set("IO:Trigger Source", "Software Trigger");
  camera.Set("AutoExposure", "OFF");
  camera.Set("Exposure", Number(camera.LowerLimit("Exposure")));
  if (camera->HasProperty("Bandwidth"))
    camera.Set("Bandwidth", Number(camera.UpperLimit("Bandwidth")));
  if (camera->HasProperty("FrameRate"))
    camera.Set("FrameRate", Number(camera.UpperLimit("FrameRate")));
  if (camera->HasProperty("Speed")) {
    char value[MM::kMaxHostText] = {};
    const unsigned n = camera->GetNumberOfPropertyValues("Speed");
    if (n > 0 && camera->GetPropertyValueAt("Speed", n - 1, value)) camera.Set("Speed", value);
  }
  Rig::Get().sim().set_frame_interval_us(camera.simIndex(), intervalUs);
}

uint32_t SimFrameIntervalUs(uint32_t preferred) {
  if (const char* text = std::getenv("PYXON_BENCH_SIM_INTERVAL_US")) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
  }
  return std::max<uint32_t>(1, preferred);
}

bool HasGeometry(const OpenedCamera& camera, unsigned width, unsigned height,
                 unsigned bytesPerPixel) {
  return camera->GetImageWidth() == width && camera->GetImageHeight() == height &&
         camera->GetImageBytesPerPixel() == bytesPerPixel;
}

SequenceRound RunSequence(OpenedCamera& camera, RingHost& host, long frames) {
  SequenceRound round;
  host.ResetCounts();
  const uint64_t finished = host.counts().finished;
  if (camera->StartSequenceAcquisition(frames, 0.0, false) != 0) return round;
  round.completed = host.WaitFinished(finished + 1, std::chrono::seconds(120));
  camera->StopSequenceAcquisition();
  round.counts = host.counts();
  round.completed = round.completed && round.counts.inserted == static_cast<uint64_t>(frames);
  round.seconds = SecondsBetween(round.counts.first, round.counts.last);
  if (round.counts.inserted > 1 && round.seconds > 0) {
    round.framesPerSecond = static_cast<double>(round.counts.inserted - 1) / round.seconds;
  }
  return round;
}

// ---- results ------------------------------------------------------------------------------

namespace {

std::vector<Result>& MutableResults() {
  static std::vector<Result> results;
  return results;
}

}  // namespace

void Record(const Result& result) {
  auto& results = MutableResults();
  // Google Benchmark may run a function more than once (for example with
  // repetitions); the last run stands.
  for (Result& existing : results) {
    if (existing.name == result.name && existing.figure == result.figure) {
      existing = result;
      return;
    }
  }
  results.push_back(result);
}

const std::vector<Result>& Results() {
  return MutableResults();
}

void PrintSummary() {
  const auto& results = Results();
  if (results.empty()) return;
  std::printf("\n%-34s %-30s %12s %-26s %12s %8s %-8s %s\n", "benchmark", "figure", "value",
              "bound", "bound value", "ratio", "target", "");
  for (const Result& r : results) {
    const bool hasBound = r.boundFigure != "-";
    char bound[32] = "-";
    char ratio[32] = "-";
    if (hasBound) {
      std::snprintf(bound, sizeof bound, "%.4g", r.bound);
      std::snprintf(ratio, sizeof ratio, "%.3f", r.ratio);
    }
    std::printf("%-34s %-30s %12.4g %-26s %12s %8s %-8s %s\n", r.name.c_str(), r.figure.c_str(),
                r.value, r.boundFigure.c_str(), bound, ratio, r.target.c_str(),
                config().smoke ? "(smoke)" : (r.met ? "met" : "MISSED"));
    size_t from = 0;
    while (from < r.note.size()) {
      const size_t end = std::min(r.note.find('\n', from), r.note.size());
      std::printf("%-34s   %s\n", "", r.note.substr(from, end - from).c_str());
      from = end + 1;
    }
  }
}

// ---- resident size ------------------------------------------------------------------------------

ResidentSize ReadResidentSize() {
  ResidentSize size;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    unsigned long long kb = 0;
    if (std::sscanf(line.c_str(), "VmRSS: %llu kB", &kb) == 1) size.rssKb = kb;
    if (std::sscanf(line.c_str(), "VmHWM: %llu kB", &kb) == 1) size.hwmKb = kb;
  }
  return size;
}

}  // namespace bench
