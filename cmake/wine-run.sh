#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's prefix; ctest calls
# this for every test executable.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
exec "$KA_WINE" "$@"
