#!/usr/bin/env bash
# Runs every benchmark executable in the given directory under Wine. One that
# fails does not stop the others; the status is non-zero when any failed.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$1" || exit 1
shopt -s nullglob
benches=(bench_*.exe)
if [ ${#benches[@]} -eq 0 ]; then
  echo "no benchmarks built"
  exit 0
fi
failed=()
for b in "${benches[@]}"; do
  "$here/wine-run.sh" "$b" || failed+=("$b")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "benchmarks that failed: ${failed[*]}" >&2
  exit 1
fi
