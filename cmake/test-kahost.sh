#!/usr/bin/env bash
# kahost's command line under Wine, run by ctest from the build's bin folder:
# `help`, an unknown command, a library path that does not exist, and the
# tour that runs without a command.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
failures=0

# run ARGS...: runs kahost, leaving its exit code in $status and its output
# (stdout and stderr together) in $out.
run() {
  args=("$@")
  out="$("$here/wine-run.sh" ./kahost.exe "$@")"
  status=$?
}
fail() {
  echo "FAILED: kahost ${args[*]}: $1 (exit code $status)"
  sed 's/^/  | /' <<<"$out"
  failures=$((failures + 1))
}
# expect CODE TEXT...: the last run exited with CODE and printed every TEXT.
expect() {
  local code=$1 text
  shift
  [ "$status" -eq "$code" ] || fail "expected exit code $code"
  for text in "$@"; do
    grep -qF -- "$text" <<<"$out" || fail "expected the output to contain: $text"
  done
}

run help
expect 0 "usage: kahost [--dll PATH]" "  help " "  tour "

run bogus
expect 2 "kahost: unknown command bogus" "usage: kahost [--dll PATH]" "  tour "

run --dll
expect 2 "kahost: --dll needs a path" "usage: kahost"

nope='C:\nope\KaSystem.x64.dll'
run --dll "$nope" tour
expect 1 "kahost: cannot load $nope: LoadLibraryW failed (Win32 error "
# The system's text follows the code: "(Win32 error 126: <text>)".
grep -qE 'Win32 error [0-9]+: [^)]+\)' <<<"$out" || fail "expected the system's error text"

# Libraries of the test siblings that let a host down at the later steps.
run --dll 'sxs\v140\KaTestNoExport.x64.dll'
expect 1 'cannot load sxs\v140\KaTestNoExport.x64.dll: GetProcAddress("KaGetModule") failed' \
  '(Win32 error 127: '
run --dll 'sxs\v140\KaTestInitFalse.x64.dll'
expect 1 'cannot load sxs\v140\KaTestInitFalse.x64.dll: Initialize() returned false'

run
expect 0 "version:  interface 118" "tour complete"

exit $((failures > 0))
