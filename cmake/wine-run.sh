#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's prefix; ctest calls
# this for every test executable.
#
# The program's output goes through a file, not straight to our stdout: the
# first window a program opens makes Wine start its desktop and service
# processes, which inherit the output handles and outlive the program. Had
# they inherited ctest's pipe, ctest would wait for them until its time-out.
set -uo pipefail
source "$(dirname "$0")/wine-env.sh"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
"$KA_WINE" "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
exit $status
