#!/usr/bin/env bash
# kahost's command line under Wine, run by ctest from the build's bin folder:
# `help`, an unknown command, a library path that does not exist, the tour
# that runs without a command, and each command against an oracle of its own
# where there is one (Linux tools, python3, a second kahost process).
set -uo pipefail
# Arguments and output that are not ASCII pass between Wine and us as UTF-8
# only under a UTF-8 locale.
export LC_ALL=C.UTF-8
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
# same TEXT WHAT: the last run printed exactly TEXT (line ends aside).
same() { [ "${out//$'\r'/}" = "$1" ] || fail "$2"; }
# line TEXT WHAT: the last run printed TEXT as a whole line.
line() { grep -qxF -- "$1" <<<"${out//$'\r'/}" || fail "$2"; }
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

# Every command of the table is in `help` and in the README's kahost section.
run help
for name in $(sed -n 's/^ *{L"\([a-z0-9]*\)", .*/\1/p' "$here/../host/main.cpp"); do
  grep -q "^  $name " <<<"$out" || fail "help does not list $name"
  grep -q "^- \`kahost $name" "$here/../README.md" || fail "the README does not list $name"
done

# Two holders keep a shared block and a last-error message alive for the
# readers further down (ended once read); their output goes to files.
shm_out="kahost-shm-$$.txt" err_out="kahost-err-$$.txt"
"$KA_WINE" ./kahost.exe shm "kahost_shm_$$" --write "grüße $$" --hold 60 >"$shm_out" 2>&1 </dev/null &
shm_holder=$!
"$KA_WINE" ./kahost.exe lasterror --set "disk full $$" --hold 60 >"$err_out" 2>&1 </dev/null &
err_holder=$!

# regex against python3's re on patterns both grammars read alike: each
# line's first match and its groups, and every occurrence replaced.
text="kahost-text-$$.txt"
printf 'alpha beta\r\nuser@example 42 x@y\n42 and 7\n\nzeta-9 betta\n' >"$text"
oracle='import re, sys
p, lines = sys.argv[1], open(sys.argv[2], newline="").read().split("\n")
if len(sys.argv) > 3: sys.exit(print(re.sub(p, sys.argv[3], "\n".join(lines)), end=""))
for n, line in enumerate(lines, 1):
    m = re.search(p, line.removesuffix("\r"))
    if m: print(f"{n}:{m.start()}: {m[0]}", *(f"  ${i} = {g or str()}" for i, g in enumerate(m.groups(), 1)), sep="\n")'
while read -r pattern; do
  run regex "$pattern" "$text"
  same "$(python3 -c "$oracle" "$pattern" "$text")" "differs from re.search"
done <<'ROWS'
(\w+)@(\w+)
b(e)(t)+(x)?a
^\d|(\d)$
[a-z]+-(\d)
ROWS
run regex '(\w+)@(\w+)' --replace '$2 at $1' "$text"
[ "$out" = "$(python3 -c "$oracle" '(\w+)@(\w+)' "$text" '\2 at \1')" ] || fail "differs from re.sub"
run regex 'nowhere' "$text"
expect 1 "kahost: regex: no line of $text matches nowhere"
run regex '(' "$text"
expect 2 "kahost: regex: the pattern does not compile: ("

# convert against iconv, both ways, back from standard input.
while read -r page name sample; do
  printf "$sample" >"$text"
  run convert --from "$page" --to 65001 "$text"
  [ "$out" = "$(iconv -f "$name" -t UTF-8 "$text")" ] || fail "$page to UTF-8 differs from iconv"
  back=$(iconv -f "$name" -t UTF-8 "$text" | "$KA_WINE" ./kahost.exe convert --from 65001 --to "$page" -)
  [ "$back" = "$(cat "$text")" ] || fail "UTF-8 from standard input to $page differs from iconv"
done <<'ROWS'
1252 CP1252 caf\xe9 \x80 na\xefve\r\n
866 CP866 \x8f\xe0\xa8\xa2\xa5\xe2
932 SHIFT_JIS \x93\xfa\x96\x7b\x8c\xea
ROWS
run convert --from 1252 --to 70000 "$text"
expect 2 "convert: unknown option or code page --to"
run convert --from 1252 --to 12345 "$text"
expect 1 "kahost: convert: cannot convert from code page 1252 to 12345"

# case maps unit by unit under de-CH: python3's mapping wherever that keeps
# one character for one (ß has no single upper case, so it stays).
while read -r way sample; do
  run case "$way" "$sample"
  want=$(python3 -c 'import sys; w, s = sys.argv[1:]
print("".join(c if len(getattr(c, w)()) > 1 else getattr(c, w)() for c in s))' "$way" "$sample")
  same "$want" "expected $want"
done <<'ROWS'
upper grüße aus zürich, ǆ ĳ ω
lower ÄRGER ÜBER ÖL, Ǆ Ĳ Ω
ROWS
rm -f "$text"

for holder in "$shm_out:holding" "$err_out:pid"; do
  for _ in $(seq 150); do grep -q "${holder#*:}" "${holder%%:*}" && break; sleep 0.2; done
done
run shm "kahost_shm_$$"
same "grüße $$" "a second process did not read what the first wrote"
read -r pid tid < <(sed -n 's/^lasterror: pid \([0-9]*\) tid \([0-9]*\).*/\1 \2/p' "$err_out")
run lasterror "$pid" "$tid"
same "disk full $$" "another process did not read the thread's message"
run lasterror "$pid" 1
expect 1 "kahost: lasterror: thread 1 of process $pid has no message"
kill $shm_holder $err_holder
wait $shm_holder $err_holder 2>/dev/null
rm -f "$shm_out" "$err_out"

# Files on paths past MAX_PATH, checked on disk by Linux tools. (Wine's shell
# cannot copy or delete a tree whose inner paths pass MAX_PATH, so the trees
# copied and deleted whole are short ones.)
root="kahost-files-$$" seg=$(printf 'segment%02d/' $(seq 1 30))
long="Z:${PWD//\//\\}\\$root\\${seg//\//\\}" && long=${long%\\}
head -c 70001 /dev/urandom >"$root.bin"
run mkdir "$long\\made\\deeper"
[ -d "$root/${seg}made/deeper" ] || fail "the folders are not on disk"
run copy "$root.bin" "$long\\f.tar.gz"
cmp -s "$root.bin" "$root/${seg}f.tar.gz" || fail "the copy differs from its source"
run path "$long\\f.tar.gz"
expect 0 "parent:    $long"$'\r' "name:      f.tar.gz" "extension: gz" "exists:    file"
short=$(sed -n 's/^short: *\(.*\)\r$/\1/p' <<<"$out")
grep -qE '\\[^\\]{13,}\\' <<<"$short\\" && fail "the short form has a long component: $short"
run path "$short"
expect 0 "exists:    file"
run path "$root\\.profile"
expect 0 "short:     (none: it does not exist)" "extension: "$'\r' "exists:    no"
run move "$long\\f.tar.gz" "$long\\made"
[ -e "$root/${seg}f.tar.gz" ] && fail "the source is still there"
cmp -s "$root.bin" "$root/${seg}made/f.tar.gz" || fail "the moved file differs"
mkdir -p "$root-tree/a/b" && cp "$root.bin" "$root-tree/a/b/x" && touch "$root-tree/a/empty"
run copy "$root-tree" "$root-copy"
diff -r "$root-tree" "$root-copy" >/dev/null || fail "the copied tree differs"
run delete "$root-copy"
[ -e "$root-copy" ] && fail "the tree is still there"
run copy "$root-none" x
expect 1 "kahost: copy: cannot copy $root-none to x (Win32 error 2: "

# slice prints what head and tail cut out of the file, across the stream's
# buffer and past the end.
while read -r offset length; do
  "$KA_WINE" ./kahost.exe slice "$root.bin" "$offset" "$length" >"$root.out" </dev/null
  head -c $((offset + length)) "$root.bin" | tail -c +$((offset + 1)) | cmp -s - "$root.out" ||
    fail "slice $offset $length differs from head and tail"
done <<'ROWS'
0 10
65530 4400
69990 100
80000 5
ROWS
run slice "$root.bin" -1 5
expect 2 "slice takes a file, a byte offset and a byte count"
rm -rf "$root" "$root.bin" "$root.out" "$root-tree"

# load follows the library's sibling rules; the test siblings fail each step.
scratch="kahost-more-$$"
while IFS='|' read -r variable name code text; do
  env "$variable" "$here/wine-run.sh" ./kahost.exe load "$name" >"$scratch.out" 2>&1
  status=$? out=$(cat "$scratch.out") args=(load "$name" with "$variable")
  expect "$code" "$text"
done <<'ROWS'
KAV_SXS_DIR=sxs|KaTestV100|0|\sxs\v140\KaTestV100.x64.dll, interface version 100
KAV_SXS_DIR_FLAT=sxs\v140\|KaTestV100|0|\sxs\v140\KaTestV100.x64.dll, interface version 100
KAV_SXS_DIR=|KaAllocator|0|\bin\KaAllocator.x64.dll, interface version 118
KAV_SXS_DIR=sxs|KaTestV99|1|: DLL interface version is too old: Required>=100, Actual=99
KAV_SXS_DIR=sxs|KaTestNoExport|1|KaTestNoExport.x64.dll does not export KaGetModule
KAV_SXS_DIR=sxs|KaTestNullRoot|1|KaTestNullRoot.x64.dll gave no root interface
KAV_SXS_DIR=sxs|KaTestInitFalse|1|KaTestInitFalse.x64.dll: Initialize() returned false
KAV_SXS_DIR=sxs|KaNone|1|cannot load sxs\v140\KaNone.x64.dll (Win32 error 126:
ROWS

# pool checks inside that every task ran exactly once.
run pool 20000 2
expect 0 "pool: 20000 tasks on 2 threads, each ran once: "
run pool 0
expect 2 "pool takes a number of tasks"

# temp: the command runs in the new folder, which is gone afterwards; a
# leftover of the root older than two weeks goes with it, a newer one stays.
run temp --leaf "kahost-$$" -- ka_child.exe cwd
made=$(sed -n 's/^temp: running in \(.*\)\r$/\1/p' <<<"$out")
expect 0
line "$made" "the command did not run in $made"
line "temp: removed $made" "the folder's removal was not reported"
unix="$WINEPREFIX/dosdevices/c:/$(tr '\\' / <<<"${made#C:\\}")"
[ -n "$made" ] && [ ! -e "$unix" ] && [ -d "${unix%/*}" ] || fail "$unix is still there"
mkdir -p "${unix%/*}/kahost-old-$$" "${unix%/*}/kahost-new-$$"
touch -d '15 days ago' "${unix%/*}/kahost-old-$$"
run temp -- ka_child.exe exit 3
expect 3
line "temp: removed ${made%\\*}\\kahost-old-$$" "the leftover's removal was not reported"
[ -d "${unix%/*}/kahost-new-$$" ] && [ ! -e "${unix%/*}/kahost-old-$$" ] || fail "the sweep went wrong"
rmdir "${unix%/*}/kahost-new-$$"
run temp --leaf '..\outside' -- ka_child.exe
expect 1 "kahost: temp: the library refused the temporary directory with the leaf ..\\outside"

# storage on an empty compound document made by hand (header, one FAT
# sector, one directory sector with the root entry): still one after the
# rewrite, with the source's write time.
python3 -c 'import struct, sys
E, F, entry = 0xFFFFFFFE, 0xFFFFFFFF, "<HBBIII16sIQQIII"
head = bytes.fromhex("d0cf11e0a1b11ae1") + bytes(16) + struct.pack("<5H6x9I109I",
    0x3E, 3, 0xFFFE, 9, 6, 0, 1, 1, 0, 4096, E, 0, E, 0, 0, *[F] * 108)
fat = struct.pack("<128I", 0xFFFFFFFD, E, *[F] * 126)
root = "Root Entry".encode("utf-16-le").ljust(64, b"\0") + struct.pack(entry, 22, 5, 1, F, F, F, bytes(16), 0, 0, 0, E, 0, 0)
free = bytes(64) + struct.pack(entry, 0, 0, 0, F, F, F, bytes(16), 0, 0, 0, 0, 0, 0)
open(sys.argv[1], "wb").write(head + fat + root + free * 3)' "$scratch.stg"
touch -d '2001-02-03 04:05:06' "$scratch.stg"
run storage copy "$scratch.stg" "$scratch-2.stg"
expect 0
run storage rewrite "$scratch-2.stg"
expect 0
[ "$(stat -c %Y "$scratch-2.stg")" = "$(stat -c %Y "$scratch.stg")" ] || fail "the write time changed"
[ "$(head -c 8 "$scratch-2.stg" | od -An -tx1)" = " d0 cf 11 e0 a1 b1 1a e1" ] || fail "not a compound file"
run storage rewrite "$scratch.out"
expect 1 "kahost: storage: cannot rewrite $scratch.out"
rm -f "$scratch.stg" "$scratch-2.stg" "$scratch.out"

# console: the window with the logger's title is on the X screen while it is
# open (its colours are not checked). reveal is not run: each folder would
# open an Explorer window of Wine's that outlives the test.
if command -v xwininfo >/dev/null; then
  "$KA_WINE" ./kahost.exe console 60 >"$scratch.out" 2>&1 </dev/null & shower=$!
  for _ in $(seq 100); do grep -q "console: open" "$scratch.out" && break; sleep 0.1; done
  pid=$(sed -n 's/.*process \([0-9]*\).*/\1/p' "$scratch.out")
  xwininfo -root -tree | grep -q "\"QMT Log Console - pid = $pid - " ||
    fail "no log console window: $(cat "$scratch.out")"
  kill $shower && wait $shower 2>/dev/null
  rm -f "$scratch.out"
else
  echo "kahost console not checked: no xwininfo"
fi
run reveal
expect 2 "reveal takes one or more paths"

# The temporary root that temp and storage made, when nothing else is in it.
rmdir "${unix%/*}" 2>/dev/null
exit $((failures > 0))
