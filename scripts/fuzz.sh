#!/usr/bin/env bash
# Builds every libFuzzer target with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for SECONDS (default 60). Each run
# first replays the committed seeds in fuzz/corpus/<name>/ and grows a scratch
# corpus in build-fuzz/corpus/<name>/. Crashes land in fuzz/artifacts/; fix
# them and keep the input in fuzz/corpus/<name>/, which the test suite replays.
#
#   bash scripts/fuzz.sh [SECONDS] [NAME...]    # NAME: e.g. inflate, reg_file
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
bash scripts/install-deps.sh

# The compiler cache is used where it is installed, never required.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" \
  -DCORVID_FUZZ=ON -DCORVID_SANITIZE=ON -DCORVID_BENCH=OFF \
  -DCORVID_DIST_DIR="$PWD/build-fuzz/dist" >/dev/null
ninja -C build-fuzz corvid_fuzzers

names=("$@")
if ((${#names[@]} == 0)); then
  for target in build-fuzz/fuzz/*_fuzz; do names+=("$(basename "$target" _fuzz)"); done
fi
mkdir -p fuzz/artifacts
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for name in "${names[@]}"; do
  target=build-fuzz/fuzz/${name}_fuzz
  [ -x "$target" ] || { echo "no fuzz target $name" >&2; exit 1; }
  mkdir -p "build-fuzz/corpus/$name"
  echo "== $name: $seconds s =="
  # A crash stops this target only; the others still get their turn.
  "$target" -max_total_time="$seconds" -max_len=65536 -timeout=25 -print_final_stats=1 \
    -artifact_prefix=fuzz/artifacts/ "build-fuzz/corpus/$name" "fuzz/corpus/$name" || failed+=("$name")
done
if ((${#failed[@]})); then
  echo "crashed: ${failed[*]} (inputs in fuzz/artifacts/)" >&2
  exit 1
fi
