#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS (default 600) each, under
# AddressSanitizer. It starts from the committed seeds in fuzz/corpus/<name>/
# and grows a scratch corpus in build-fuzz/corpus/<name>/. Crashes land in
# fuzz/artifacts/; fix them and keep the input in fuzz/corpus/<name>/, which
# the test suite replays.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
bash scripts/install-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVID_FUZZ=ON -DCORVID_SANITIZE=ON -DCORVID_BENCH=OFF \
  -DCORVID_DIST_DIR="$PWD/build-fuzz/dist" >/dev/null
ninja -C build-fuzz
mkdir -p fuzz/artifacts
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  mkdir -p "fuzz/corpus/$name" "build-fuzz/corpus/$name"
  echo "== $name: $seconds s =="
  "$target" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
    -artifact_prefix=fuzz/artifacts/ "build-fuzz/corpus/$name" "fuzz/corpus/$name"
done
