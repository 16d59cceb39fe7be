#!/usr/bin/env bash
# Fails when the test run left anything in the Wine drive's temporary folders.
set -uo pipefail
source "$(dirname "$0")/wine-env.sh"
left=$(find "$WINEPREFIX/drive_c/users" "$WINEPREFIX/drive_c/windows/temp" \
            -mindepth 1 -path '*/[Tt]emp/*' 2>/dev/null | head -20)
if [ -n "$left" ]; then
  echo "left behind in the Wine temp folders:"
  echo "$left"
  exit 1
fi
echo "Wine temp folders are clean"
