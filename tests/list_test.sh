#!/usr/bin/env bash
# The compressor list, with a test compressor installed the way a compressor
# of the target's bitness is, and a copy registered only for the other
# bitness. Through the run command as a user runs it (tools/lib/show.sh, with this
# prefix as WINEPREFIX) and through the dialog as a person works it.
#   list_test.sh TOOLS PREFIX BUILD_DIR ARCH COMPRESSOR_DLL
set -euo pipefail
build_dir=$3 arch=$4 compressor=$5
here=$(dirname "$0")
source "$here/../tools/lib/wine-session.sh" "$1" "$@"
wine_session "$2"
exe=$build_dir/selnary.exe reader=$build_dir/reader/list-reader.exe title="selnary ($arch)"
case "$arch" in
  x86) bits=32 other=x64 other_bits=64 ;;
  x64) bits=64 other=x86 other_bits=32 ;;
esac

install_compressor "$compressor" "$arch" slny
# The copy's DLL is in this bitness's folder too: only the registry view counts.
install_compressor "$compressor" "$other" slno
prefix_install "$compressor" "$(system_folder "$arch")/slno.dll"
mine="selnary test compressor ($bits-bit, slny)"

logs=$WINEPREFIX/logs
mkdir -p "$logs"
failures=0
fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }

# stamp STARTED: each line of standard input behind the seconds since STARTED.
stamp() {
  local line
  while IFS= read -r line; do
    printf '%d %s\n' $(((${EPOCHREALTIME/./} - $1) / 1000000)) "$line"
  done
}

# show [ENV...]: the run command's headless run in this prefix; sets shown
# and shown_status. Both its outputs are kept in the logs, each line behind
# the second it came.
show() {
  local started=${EPOCHREALTIME/./}
  {
    {
      local status=0
      env -u DISPLAY WINEPREFIX="$WINEPREFIX" "$@" timeout "$(scaled 60)" \
        bash "$here/../tools/lib/show.sh" "$build_dir" "$arch" "$logs/$case_name.png" 2>&1 1>&3 3>&- ||
        status=$?
      echo "$status" >"$logs/$case_name.status"
    } | stamp "$started" >"$logs/$case_name.err"
  } 3>&1 | stamp "$started" >"$logs/$case_name.out"
  shown_status=$(<"$logs/$case_name.status")
  shown=$(cut -d' ' -f2- "$logs/$case_name.out")
}

# second_of PATTERN FILE: when the first line matching PATTERN came.
second_of() { grep -m 1 -E "^[0-9]+ .*$1" "$2" | cut -d' ' -f1; }

# The runs below start their own server for this prefix.
"$WINESERVER" -w

case_name=listed
show
good_run=$(second_of 'selnary.exe exited' "$logs/$case_name.out")
listed=$(printf '%s\n' "$shown" | sed -n '/^Compressors offered/,/^Picture/s/^  //p')
[ "$shown_status" -eq 0 ] || fail "status $shown_status: $(cat "$logs/$case_name.err")"
[ "$(head -n 1 <<<"$listed")" = "Full Frames (Uncompressed)" ] || fail "first entry '$(head -n 1 <<<"$listed")'"
grep -qxF "$mine" <<<"$listed" || fail "'$mine' not listed"
if grep -q slno <<<"$listed"; then fail "the copy registered for $other_bits-bit programs is listed"; fi
grep -q 'X11 Driver' "$WINEPREFIX/user.reg" && fail "the run left its Decorated setting in the prefix"
printf '%s\n' "$shown"

case_name=not-a-prefix
empty=$(mktemp -d)
status=0
WINEPREFIX=$empty bash "$here/../tools/lib/show.sh" "$build_dir" "$arch" "$logs/none.png" 2>"$logs/$case_name.err" >/dev/null ||
  status=$?
[ "$status" -ne 0 ] || fail "a folder that is not a prefix was accepted"
grep -q 'is not a Wine prefix' "$logs/$case_name.err" || fail "no clear error: $(cat "$logs/$case_name.err")"
[ -z "$(ls -A "$empty")" ] || fail "the run created files in a folder that is not a prefix"
rmdir "$empty"

case_name=faulting-driver
SELNARY_COMPRESSOR_FAULT=open show
seconds=$(second_of 'ended with status' "$logs/$case_name.err")
[ "$shown_status" -ne 0 ] || fail "the run succeeded although the compressor crashed the program"
# Failing fast: the crash is reported within the limit, and sooner than the
# program of the good run above ended.
if [ -z "$seconds" ]; then
  fail "does not say the program ended: $(cat "$logs/$case_name.err")"
else
  [ "$seconds" -lt "$(scaled 30)" ] || fail "took $seconds s to report the crash"
  [ "$seconds" -lt "$good_run" ] || fail "took $seconds s to report the crash, a good run's program $good_run s to end"
fi
grep -q 'wine: Unhandled' "$logs/$case_name.err" || fail "does not pass on what Wine reported"
# What crashed it, from the report that follows.
# Its row, and under it what it did.
grep -A1 -E '^slny ' <<<"$shown" | grep -q 'faulted when opened' || fail "the report does not name the faulting compressor"
echo "[$case_name] the crash reported after $seconds s (a good run's program ended after $good_run s), status $shown_status"

# No window manager here: Wine draws the title bar and its close button itself.
wine_reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f

# end_by NAME: starts the program, lets a person end the dialog one way, and
# checks that it exits with status 0 within 10 s (scaled).
end_by() {
  case_name=$1
  shift
  local log
  log=$logs/$case_name.log
  start_program env SELNARY_COMPRESSOR_LOG="$(windows_path "$log")" "$WINE" "$exe"
  wait_for_window "$title" 60 || { fail "no dialog"; return; }
  "$@"
  local pressed=${EPOCHREALTIME/./}
  wait_for_exit "$program_pid" 10
  [ "$exit_status" -eq 0 ] || fail "exit status $exit_status (143: still open after $(scaled 10) s)"
  echo "[$case_name] status $exit_status, $(((${EPOCHREALTIME/./} - pressed) / 1000)) ms after the last input"
}

click() {
  local point
  point=$("$WINE" "$reader" --where "$1" "$title") || { fail "no $1 button"; return; }
  "$XDOTOOL" mousemove --sync ${point% *} ${point#* } click 1
}

# Down moves through the closed list from its first entry; then a click on OK.
choose_mine() {
  local index
  index=$(grep -nxF "$mine" <<<"$listed" | cut -d: -f1) || { fail "'$mine' is not in the list"; return; }
  for ((; index > 1; index--)); do
    "$XDOTOOL" key --window "$window" Down
  done
  click ok
}

# count_opens NAME: how often that case's run opened the test compressor for
# compression, and closed it.
count_opens() {
  opened=$(grep -c '^open ' "$logs/$1.log" || true)
  closed=$(grep -c '^close ' "$logs/$1.log" || true)
}

end_by ok-with-mine choose_mine
count_opens ok-with-mine
# The chooser closes what it opened but the chosen one, which it hands back;
# the program neither uses nor releases it.
[ "$opened" -ge 1 ] && [ $((opened - closed)) -eq 1 ] ||
  fail "opened $opened times for compression and closed $closed times; expected one left open"

end_by click-cancel click cancel
count_opens click-cancel
[ "$opened" -ge 1 ] && [ "$opened" -eq "$closed" ] || fail "opened $opened times, closed $closed times"
end_by click-close click close

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
