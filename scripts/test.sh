#!/usr/bin/env bash
# Builds Corvid and runs the whole test suite twice: in the normal build and
# under AddressSanitizer + UndefinedBehaviorSanitizer. Then it builds
# everything twice more, so that every build a user may try keeps working:
# Release with GCC and RelWithDebInfo with clang. Those two run the engine's
# tests and the fuzz corpus replays, where the optimiser and the other
# compiler matter most; the rest of the suite has run above. Warnings are
# errors in all four.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
# Every peer program is installed above: a test that finds one missing fails.
export CORVID_REQUIRE_PEERS=1

# The compiler cache is used where it is installed, never required.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCORVID_WERROR=ON "${launcher[@]}" "$@"
  ninja -C "$dir"
  mkdir -p "$dir/tmp"
}

run_suite() {
  local dir=$1; shift
  build "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900)
}

# The engine's tests and the fuzz replays only.
run_engine_tests() {
  local dir=$1; shift
  build "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900 -R '^fuzz_replay_' &&
    TMPDIR="$PWD/tmp" tests/zip_tests --gtest_brief=1)
}

echo "== normal build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DCORVID_SANITIZE=ON \
  -DCORVID_DIST_DIR="$PWD/build-asan/dist" -DCORVID_BENCH=OFF

echo "== Release, GCC =="
run_engine_tests build-release -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCORVID_DIST_DIR="$PWD/build-release/dist"

echo "== RelWithDebInfo, clang =="
run_engine_tests build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCORVID_DIST_DIR="$PWD/build-clang/dist"
