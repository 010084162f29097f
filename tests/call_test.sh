#!/usr/bin/env bash
# The program's one call, end to end: selnary.exe runs against a stand-in
# MSVFW32.dll that logs each call, under several command lines and both results.
#   call_test.sh TOOLS PREFIX EXE STANDIN_DLL TITLE ARCH POINTER_BYTES STATE_BYTES
set -euo pipefail
exe=$3 standin=$4 title=$5 arch=$6 pointer_bytes=$7 state_bytes=$8
source "$(dirname "$0")/../tools/lib/wine-session.sh" "$1" "$@"
wine_session "$2"

# The stand-in takes the system library's place in the prefix's system folder
# for the target, where the loader is meant to find MSVFW32.dll; beside the
# program it would be the planted DLL the program's load flags refuse.
prefix_install "$standin" "$(system_folder "$arch")/msvfw32.dll"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;msvfw32=n"
work=$WINEPREFIX/logs
mkdir -p "$work"

hex_value() { printf '%0*x' $((pointer_bytes * 2)) "$1"; }
hex_text() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }

zeros() { printf '%0*d' "$1" 0; }
# biSize 40, biWidth 256, biHeight 256, biPlanes 1, biBitCount 32,
# biCompression BI_RGB, biSizeImage 262144, then four zero fields; little-endian.
probe=28000000 probe+=00010000 probe+=00010000 probe+=0100 probe+=2000
probe+=00000000 probe+=00000400 probe+=$(zeros 32)
# cbSize (the record's own size, below 256) and nothing else.
state=$(printf '%02x' "$state_bytes")$(zeros $((state_bytes * 2 - 2)))
expected="owner=$(hex_value 0) flags=$(hex_value 1) in=$probe data=$(hex_value 0)"
expected+=" state=$state title=$(hex_text "$title")"

failures=0
fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }

# run_case NAME RESULT [ARGS...]: the stand-in returns RESULT (1 TRUE, 0 FALSE).
# The program is started through "${launcher[@]}".
launcher=("$WINE")
run_case() {
  case_name=$1
  local result=$2 log="$work/$1.log" status=0
  shift 2
  rm -f "$log"
  SELNARY_STANDIN_LOG="$(windows_path "$log")" SELNARY_STANDIN_RESULT=$result \
    timeout "$(scaled 60)" "${launcher[@]}" "$exe" "$@" || status=$?
  [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
  if [ ! -f "$log" ]; then
    fail "the chooser was never called"
    return
  fi
  local calls
  calls=$(grep -c '' "$log")
  [ "$calls" -eq 1 ] || fail "$calls calls to ICCompressorChoose, expected exactly one"
  local line
  line=$(head -n 1 "$log" | tr -d '\r')
  if [ "$line" != "$expected" ]; then
    fail "the call differs"
    echo "  expected: $expected" >&2
    echo "  recorded: $line" >&2
  fi
}

# Each start proves as much as it can: where x86 is emulated, a start costs
# seconds. A command line of several words, quotes, non-ASCII text and a
# 20,000-character argument must change nothing.
run_case chooser-true 1
run_case false-with-arguments 0 compress this please '"double quoted"' "it's" 'back\slash\"' '""' \
  'grüße' '日本語' 'naïve café' "$(head -c 20000 /dev/zero | tr '\0' 'x')"
# Started minimized: the show state must not reach the chooser either.
# start.exe /wait passes on the program's exit status; Wine's own tool, so
# the 64-bit one where the prefix has it.
launcher=("$wine_tool" start /wait /min /unix)
run_case minimized 1

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all calls as expected: $expected"
