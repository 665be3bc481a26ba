#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs
# each for a bounded time from its checked-in seed corpus.
#   tests/fuzz/build_and_run.sh [seconds per fuzzer, default 30] [fuzzer ...]
# Findings are written to build/fuzz/findings/<fuzzer>/ and fail the script.
# New inputs found during a run go to build/fuzz/corpus/<fuzzer>/ (not the
# checked-in corpus; copy interesting ones over by hand).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${PYXON_FUZZ_BUILD_DIR:-$root/build/fuzz}"
seconds="${1:-30}"
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -eq 0 ] && fuzzers=(metadata_fuzzer discovery_fuzzer property_fuzzer)

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${fuzzers[@]}"

status=0
for fuzzer in "${fuzzers[@]}"; do
  corpus="$build/corpus/$fuzzer"
  findings="$build/findings/$fuzzer"
  mkdir -p "$corpus" "$findings"
  echo "=== $fuzzer: ${seconds}s"
  # The working corpus first (new inputs land there), the checked-in seeds second.
  # No leak check per input (-detect_leaks=0): LeakSanitizer's tracer crashes
  # while the simulated library's event threads run; the ASan suite checks
  # leaks at exit.
  if ! ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      "$build/bin/$fuzzer" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -detect_leaks=0 \
      -seed="${PYXON_FUZZ_SEED:-1}" -max_len=4096 -print_final_stats=1 -artifact_prefix="$findings/" \
      "$corpus" "$here/corpus/$fuzzer" 2>"$build/$fuzzer.log"; then
    echo "$fuzzer FAILED; the end of its log:"
    tail -n 60 "$build/$fuzzer.log"
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^stat::new_units_added|^#[0-9]+ *DONE" \
    "$build/$fuzzer.log" || true
done
exit $status
