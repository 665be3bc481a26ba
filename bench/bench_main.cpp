// pyxon_bench: the adapter's speed and memory against the machine's own limits.
//
//   pyxon_bench [--smoke] [--rounds=N] [Google Benchmark flags]
//
// --smoke runs every benchmark once with a handful of frames: it shows that
// everything runs and measures nothing. --rounds sets the measured rounds per
// benchmark (default 7); each round measures the bound and then the adapter,
// and the figures are medians over the rounds. A summary table follows the
// Google Benchmark output.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_support.h"

namespace bench {
void RegisterSequenceBenchmarks();
void RegisterSnapBenchmarks();
void RegisterDeviceBenchmarks();
void RegisterMemoryBenchmarks();
}  // namespace bench

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      bench::config().smoke = true;
      bench::config().rounds = 1;
    } else if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
      bench::config().rounds = std::max(1, std::atoi(argv[i] + 9));
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  bench::CpuCount();  // note the process's CPUs before anything pins a thread
  bench::Rig::Get();  // load the module before any measurement
  // Memory first: its peak resident size (VmHWM) is the process's so far.
  bench::RegisterMemoryBenchmarks();
  bench::RegisterSequenceBenchmarks();
  bench::RegisterSnapBenchmarks();
  bench::RegisterDeviceBenchmarks();
  const size_t ran = benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  bench::PrintSummary();
  return ran > 0 && !bench::AnySkipped() ? 0 : 1;
}
