// Device lifecycle and property access: Initialize and Shutdown of the
// full-capability model, and property reads and writes by name through the
// host's slots, for a property without a handler and for one whose handler
// calls the camera.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>

#include "bench/bench_support.h"

namespace bench {
namespace {

constexpr const char* kFullModel = "PX-FULL";

// Vendor calls made by one Initialize (the simulator's call trace, switched on
// for this one count only).
size_t VendorCallsOfInitialize(RingHost& host) {
  const pyxsim::Client& sim = Rig::Get().sim();
  Rig& rig = Rig::Get();
  auto device = rig.module().Create(rig.DeviceName(kFullModel));
  if (!device) return 0;
  device->SetCallback(&host);
  sim.trace_clear();
  sim.trace_enable(1);
  device->Initialize();
  sim.trace_enable(0);
  const size_t calls = sim.trace_count();
  device->Shutdown();
  return calls;
}

void InitializeShutdown(benchmark::State& state) {
  Rig::Get().ResetSimulator();
  Rig& rig = Rig::Get();
  RingHost host(16, 1);
  const std::string name = rig.DeviceName(kFullModel);
  const int perRound = Scaled(6, 1);

  std::vector<double> initializes, shutdowns;
  for (auto _ : state) {
    double roundSeconds = 0;
    for (int i = 0; i < perRound; ++i) {
      auto device = rig.module().Create(name);
      if (!device) return Skip(state, "CreateDevice failed");
      device->SetCallback(&host);
      const Clock::time_point start = Clock::now();
      const int initialized = device->Initialize();
      const Clock::time_point middle = Clock::now();
      device->Shutdown();
      const Clock::time_point end = Clock::now();
      if (initialized != 0) return Skip(state, "Initialize failed");
      initializes.push_back(SecondsBetween(start, middle));
      shutdowns.push_back(SecondsBetween(middle, end));
      roundSeconds += SecondsBetween(start, end);
    }
    state.SetIterationTime(roundSeconds / perRound);
  }
  const double initialize = Median(initializes);
  const double shutdown = Median(shutdowns);
  const size_t vendorCalls = VendorCallsOfInitialize(host);
  state.counters["initialize_ms"] = initialize * 1e3;
  state.counters["shutdown_ms"] = shutdown * 1e3;
  state.counters["vendor_calls"] = static_cast<double>(vendorCalls);

  Result result;
  result.name = "Initialize PX-FULL";
  result.figure = "median ms";
  result.value = initialize * 1e3;
  result.boundFigure = "budget, ms";
  result.bound = 5.0;
  result.ratio = result.value / result.bound;
  result.target = "< 5 ms";
  result.met = result.value < 5.0;
  char note[200];
  std::snprintf(note, sizeof note,
                "p90 %.3f ms; Shutdown median %.3f ms; %zu vendor calls per Initialize",
                Percentile(initializes, 90) * 1e3, shutdown * 1e3, vendorCalls);
  result.note = note;
  Record(result);
}

// The least a get by name costs: an ordered map lookup by a C string and a
// copy of the value into the host's 1024-byte buffer.
double BareLookupSeconds(int operations) {
  std::map<std::string, std::string, std::less<>> map;
  for (int i = 0; i < 150; ++i) map["Property " + std::to_string(i)] = std::to_string(i);
  map["TransposeXY"] = "0";
  char value[MM::kMaxHostText];
  const char* name = "TransposeXY";
  benchmark::DoNotOptimize(name);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < operations; ++i) {
    auto found = map.find(std::string_view(name));
    std::strncpy(value, found->second.c_str(), sizeof value - 1);
    benchmark::DoNotOptimize(value);
  }
  return SecondsBetween(start, Clock::now()) / operations;
}

enum class PropertyOperation { kGet, kSet };

struct PropertyCase {
  const char* label;
  const char* property;
  PropertyOperation operation;
  const char* values[2];  // set: alternated so that every write changes the value
  bool hasTarget;         // the handler-less get has an absolute target of 1 us
};

void PropertyAccess(benchmark::State& state, const PropertyCase& c) {
  Rig::Get().ResetSimulator();
  RingHost host(16, 1);
  OpenedCamera camera(kFullModel, &host);
  camera.Set("AutoExposure", "OFF");
  if (!camera.ok()) return Skip(state, camera.error());
  if (!camera->HasProperty(c.property)) return Skip(state, "no such property");

  const int operations = Scaled(20000, 10);
  char value[MM::kMaxHostText];
  std::vector<double> times, bounds;
  int failures = 0;
  for (auto _ : state) {
    bounds.push_back(BareLookupSeconds(operations));
    const Clock::time_point start = Clock::now();
    if (c.operation == PropertyOperation::kGet) {
      for (int i = 0; i < operations; ++i) {
        failures += camera->GetProperty(c.property, value) != 0;
        benchmark::DoNotOptimize(value);
      }
    } else {
      for (int i = 0; i < operations; ++i) {
        failures += camera->SetProperty(c.property, c.values[i & 1]) != 0;
      }
    }
    const double seconds = SecondsBetween(start, Clock::now()) / operations;
    state.SetIterationTime(seconds);
    times.push_back(seconds);
  }
  if (failures != 0) return Skip(state, "a property operation failed");
  const double perOperation = Median(times);
  const double bound = Median(bounds);
  state.counters["ns_per_op"] = perOperation * 1e9;
  state.counters["bound_ns"] = bound * 1e9;
  state.counters["x_bound"] = perOperation / bound;

  Result result;
  result.name = c.label;
  result.figure = "median ns/op";
  result.value = perOperation * 1e9;
  result.boundFigure = "std::map find + copy, ns";
  result.bound = bound * 1e9;
  result.ratio = perOperation / bound;
  result.target = c.hasTarget ? "< 1000 ns" : "-";
  result.met = !c.hasTarget || result.value < 1000.0;
  result.note = "ratio = time / bound";
  Record(result);
}

const PropertyCase kGetPlain{"get TransposeXY (no handler)",
                             "TransposeXY",
                             PropertyOperation::kGet,
                             {nullptr, nullptr},
                             true};
const PropertyCase kSetPlain{
    "set TransposeXY (no handler)", "TransposeXY", PropertyOperation::kSet, {"1", "0"}, false};
const PropertyCase kGetGain{
    "get Gain (handler)", "Gain", PropertyOperation::kGet, {nullptr, nullptr}, false};
const PropertyCase kSetGain{
    "set Gain (handler)", "Gain", PropertyOperation::kSet, {"200", "300"}, false};

}  // namespace

void RegisterDeviceBenchmarks() {
  benchmark::RegisterBenchmark("device/initialize_shutdown_px_full", InitializeShutdown)
      ->Iterations(config().rounds)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  for (const PropertyCase* c : {&kGetPlain, &kSetPlain, &kGetGain, &kSetGain}) {
    const std::string name = std::string("property/") +
                             (c->operation == PropertyOperation::kGet ? "get_" : "set_") +
                             c->property;
    benchmark::RegisterBenchmark(name.c_str(), PropertyAccess, *c)
        ->Iterations(config().rounds)
        ->UseManualTime()
        ->Unit(benchmark::kNanosecond);
  }
}

}  // namespace bench
