#!/usr/bin/env bash
# Corvid's main job on its embedded default: until the mail pipeline exists,
# the ZIP engine's tool lists, tests and extracts an archive the repository
# ships, into a fresh temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build corvid-zip >/dev/null

archive=${1:-testdata/demo.zip}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "== list $archive =="
dist/corvid-zip l "$archive"
echo "== test =="
dist/corvid-zip t "$archive"
echo "== extract into $out =="
dist/corvid-zip x "$archive" -d "$out" --paths
(cd "$out" && find . -type f | sort | xargs ls -l)
