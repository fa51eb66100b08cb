#!/usr/bin/env bash
# Builds Corvid and runs the whole test suite twice: in the normal build and
# under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
# Every peer program is installed above: a test that finds one missing fails.
export CORVID_REQUIRE_PEERS=1

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  ninja -C "$dir"
  mkdir -p "$dir/tmp"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900)
}

echo "== normal build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DCORVID_SANITIZE=ON \
  -DCORVID_DIST_DIR="$PWD/build-asan/dist" -DCORVID_BENCH=OFF
