#!/usr/bin/env bash
# Builds the project and runs every test.
#   scripts/test.sh            default build (warnings as errors)
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/test.sh tsan       ThreadSanitizer
#   scripts/test.sh all        the three in turn
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

run_preset() {
  local preset=$1
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== ${preset}: test"
  ctest --preset "$preset"
}

which=${1:-default}
case "$which" in
  all) for p in default asan tsan; do run_preset "$p"; done ;;
  default | asan | tsan | debug) run_preset "$which" ;;
  *) echo "usage: $0 [default|asan|tsan|debug|all]" >&2; exit 2 ;;
esac
