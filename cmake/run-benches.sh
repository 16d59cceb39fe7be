#!/usr/bin/env bash
# Runs every benchmark executable in the given directory under Wine.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$1"
shopt -s nullglob
benches=(bench_*.exe)
if [ ${#benches[@]} -eq 0 ]; then
  echo "no benchmarks built"
  exit 0
fi
for b in "${benches[@]}"; do
  "$here/wine-run.sh" "$b"
done
