#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and
# nothing when everything is already there (a second run is quick).
set -euo pipefail

declare -A need=(
  [x86_64-w64-mingw32-g++-posix]=g++-mingw-w64-x86-64-posix
  [x86_64-w64-mingw32-windres]=binutils-mingw-w64-x86-64
  [cmake]=cmake
  [ninja]=ninja-build
  [make]=make
  [python3]=python3
  [clang++]=clang
  [clang-format]=clang-format
  [clang-tidy]=clang-tidy
  [wine]=wine
  [Xvfb]=xvfb
  [xvfb-run]=xvfb
  [xauth]=xauth
  [xwininfo]=x11-utils  # kahost's console check finds its window on the screen
)
missing=()
for cmd in "${!need[@]}"; do
  command -v "$cmd" >/dev/null 2>&1 || missing+=("${need[$cmd]}")
done
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
[ -f /usr/include/rapidjson/document.h ] || missing+=(rapidjson-dev)
# Boost.Regex is used header-only (its standalone mode, 1.76 on: regex/v5).
[ -f /usr/include/boost/regex/v5/regex.hpp ] || missing+=(libboost-regex1.81-dev)

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
