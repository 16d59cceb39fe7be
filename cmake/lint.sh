#!/usr/bin/env bash
# `make lint`: clang-format on every C++ file a change touches, clang-tidy
# (.clang-tidy's checks) on the touched sources of the library and kahost.
# The change is what lies between BASE and the working tree: BASE is the
# first argument, else where HEAD left origin/main, else HEAD's parent; with
# no base to compare against, every file is checked.
#   cmake/lint.sh BUILD_DIR [BASE|--all]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$1"
base="${2:-}"
if [ -z "$base" ]; then
  base="$(git merge-base HEAD origin/main 2>/dev/null || true)"
  if [ -z "$base" ] || [ "$base" = "$(git rev-parse HEAD)" ]; then
    base="$(git rev-parse -q --verify HEAD~1 || echo --all)"
  fi
fi
if [ "$base" = "--all" ]; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
  echo "lint: every C++ file"
else
  mapfile -t files < <(git diff --name-only --diff-filter=d "$base" -- '*.cpp' '*.h';
                       git ls-files --others --exclude-standard -- '*.cpp' '*.h')
  echo "lint: ${#files[@]} C++ file(s) changed since $(git rev-parse --short "$base")"
fi
failures=0
for file in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$file" 2>/dev/null; then
    echo "lint: $file is not formatted as .clang-format says (clang-format -i $file)"
    failures=$((failures + 1))
  fi
done

# clang reads the mingw-w64 headers the cross compiler uses, plus a stand-in
# <source_location> (clang 14 lacks the builtin libstdc++ 12 needs).
gcc_dir=/usr/lib/gcc/x86_64-w64-mingw32/12-posix
args=(--quiet -p "$build"
      --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++
      --extra-arg=-isystem"$PWD/cmake/lint-include"
      --extra-arg=-isystem"$gcc_dir/include/c++"
      --extra-arg=-isystem"$gcc_dir/include/c++/x86_64-w64-mingw32"
      --extra-arg=-isystem"$gcc_dir/include/c++/backward"
      --extra-arg=-isystem/usr/x86_64-w64-mingw32/include
      # RapidJSON's iterators trip C++20's reversed comparison rule under
      # clang; GCC-only optimisation flags are not clang's business.
      --extra-arg=-Wno-ambiguous-reversed-operator
      --extra-arg=-Wno-ignored-optimization-argument)
for file in "${files[@]}"; do
  case "$file" in
    tests/* | bench/* | examples/* | *.h) continue ;;
  esac
  if ! clang-tidy "${args[@]}" "$file" 2>/dev/null; then
    echo "lint: clang-tidy found the above in $file"
    failures=$((failures + 1))
  fi
done
if [ "$failures" -ne 0 ]; then
  echo "lint: $failures file(s) to mend"
  exit 1
fi
echo "lint: clean"
