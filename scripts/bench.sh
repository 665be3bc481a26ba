#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks, then prints their summary.
#   scripts/bench.sh                       full run (about 15 seconds once built)
#   scripts/bench.sh --smoke               every benchmark once, briefly (checks nothing)
#   scripts/bench.sh --rounds=11           more rounds per benchmark (default 7)
#   scripts/bench.sh --benchmark_filter=sequence   only some benchmarks
# Any Google Benchmark flag is passed on (for example --benchmark_format=json).
# PYXON_BENCH_BUILD_DIR overrides the build directory (default build/release).
# Figures are only meaningful on a quiet machine: see docs/PERFORMANCE.md.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

dir="${PYXON_BENCH_BUILD_DIR:-build/release}"
cmake --preset release -B "$dir" >/dev/null
cmake --build "$dir" --target pyxon_bench -j2

echo "=== machine"
lscpu | grep -E '^(Model name|CPU\(s\)|Thread\(s\) per core|L3 cache):' || true
free -h | head -2
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "=== benchmarks"
exec "$dir/bin/pyxon_bench" "$@"
