#!/usr/bin/env bash
# Runs a command (ctest, kahost, a benchmark) inside an Xvfb display with a
# fresh wineserver for the private prefix: windows need a display, and a
# wineserver started without one keeps refusing them.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/wine-env.sh"

inner() {
  source "$here/wine-env.sh"
  wineserver -k 2>/dev/null || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$KA_WINE" wineboot --init >/dev/null 2>&1 || true
    wineserver -w
  fi
  wineserver -p 60
  status=0
  "$@" || status=$?
  wineserver -k 2>/dev/null || true
  return $status
}

if [ "${1:-}" = "--inner" ]; then
  shift
  inner "$@"
  exit $?
fi
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --inner "$@"
