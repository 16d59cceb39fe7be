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

# run passes the child's output on and ends with its exit code; a child that
# outlives --timeout is ended; mem prints this process's counters.
input="kahost-stdin-$$.txt"
printf 'from a file' >"$input"
run run --stdin "$input" --cwd "kahost-cwd-$$\\deep" -- ka_child.exe echo text ' two words' cwd exit 5
expect 5 "from a file two words" "kahost-cwd-$$\\deep"
[ -d "kahost-cwd-$$/deep" ] || fail "the working directory was not made"
rm -rf "$input" "kahost-cwd-$$"
run run --timeout 2 -- ka_child.exe text started hang
expect $((170000 % 256)) "started" "still running after 2 s and was ended (exit code 170000)"
run run --timeout 1 -- ka_child.exe
expect 2 "--timeout takes whole seconds, 2 or more"
run mem
expect 0 "working set" "peak page file"

# sha1 prints what sha1sum prints, and a line of its own per unreadable file;
# log appends through a shared logger, so two kahost processes share a file.
printf 'abc' >"kahost-a-$$"
head -c 100003 /dev/urandom >"kahost-b-$$"
run sha1 "kahost-a-$$" "kahost-b-$$" "kahost-none-$$"
expect 1 "$(sha1sum "kahost-a-$$")" "$(sha1sum "kahost-b-$$")" "sha1: cannot read"
shared="kahost-log-$$.log"
"$here/wine-run.sh" ./kahost.exe log "$shared" "one: first" "one: second" >/dev/null & writer=$!
run log "$shared" "two: first" "two: second"
wait $writer || fail "the other kahost log failed"
expect 0
for text in "one: first" "one: second" "two: first" "two: second"; do
  grep -q "\[INFO\]      : $text"$'\r'"\?$" "$shared" || fail "$shared lacks the line $text"
done
rm -f "kahost-a-$$" "kahost-b-$$" "$shared"

# latest and version on files of our own (ctest runs this in the bin folder).
scratch="kahost-latest-$$"
mkdir -p "$scratch" && touch "$scratch"/model.dat.{1,2,10}
run latest "$scratch\\model.dat"
expect 0 "$scratch\\model.dat.10"
run latest "$scratch\\other.dat"
expect 1 "kahost: neither $scratch\\other.dat nor a numbered version of it"
rm -rf "$scratch"
# The library's version resource says what root/version.rc says.
want=$(sed -n 's/^#define KA_VERSION_TEXT "\(.*\)"/\1/p' "$here/../root/version.rc")
run version KaSystem.x64.dll
expect 0 "$want"
tr -d '\r' <<<"$out" | grep -qxE "${want//./\\.}" || fail "expected exactly the version $want"
run version kahost.exe
expect 1 "kahost: kahost.exe has no file version"

# dotnet in a prefix without .NET Framework; popups closing a message box of
# another process (the popup suite's child shows it and ends with 100 once
# it is closed).
run dotnet
expect 0 "no .NET Framework installed"
"$here/wine-run.sh" ./popup_test.exe --ka-child=popups 8 >/dev/null & box=$!
config="kahost-popups-$$.xml"
echo "<Monitor interval='200'><Process>-1</Process><Caption>Ka Also</Caption></Monitor>" >"$config"
run popups "$config" 8
expect 0 "Title=Ka Also" "Popup Monitor posted WM_CLOSE to a popup window."
for _ in $(seq 50); do kill -0 $box 2>/dev/null && sleep 0.2; done
kill -0 $box 2>/dev/null && { kill $box; fail "the box was not closed"; }
wait $box; [ $? -eq 100 ] || fail "the box's process did not end as closed"
rm -f "$config"

# ini prints every setting tab-separated; lock makes a second process wait
# (the holder's output goes straight to a file, so it can be watched).
ini="kahost-ini-$$.ini"
printf '\xEF\xBB\xBFtop=1\r\n[Main]\r\nkey = value\r\n' >"$ini"
run ini "$ini"
expect 0 $'\ttop\t1' $'Main\tkey \t value'
rm -f "$ini"
source "$here/wine-env.sh"
held="kahost-lock-$$.txt"
"$KA_WINE" ./kahost.exe lock 'kahost\test' 6 >"$held" 2>&1 </dev/null & holder=$!
for _ in $(seq 150); do grep -q "lock: holding" "$held" && break; sleep 0.2; done
run lock 'kahost\test' 0
expect 0 "lock: still waiting (1 s)" 'lock: holding Global\kahost_test for 0 s'
wait $holder || fail "the first holder of the lock failed"
rm -f "$held"

exit $((failures > 0))
