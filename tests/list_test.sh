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

drivers='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
prefix_install "$compressor" "$(system_folder "$arch")/slnytest.dll"
wine_reg add "$drivers" /v vidc.slny /d slnytest.dll /reg:$bits /f
for folder in "$(system_folder "$arch")" "$(system_folder "$other")"; do
  prefix_install "$compressor" "$folder/slnother.dll"
done
wine_reg add "$drivers" /v vidc.slno /d slnother.dll /reg:$other_bits /f
mine="selnary test compressor ($bits-bit, slny)"

logs=$WINEPREFIX/logs
mkdir -p "$logs"
failures=0
fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }

# show [ENV...]: the run command's headless run in this prefix; sets shown and shown_status.
show() {
  shown_status=0
  shown=$(env -u DISPLAY WINEPREFIX="$WINEPREFIX" "$@" timeout "$(scaled 60)" \
    bash "$here/../tools/lib/show.sh" "$build_dir" "$arch" "$logs/$case_name.png" 2>"$logs/$case_name.err") ||
    shown_status=$?
}

# The runs below start their own server for this prefix.
"$WINESERVER" -w

case_name=listed
started=${EPOCHREALTIME/./}
show
good_run=$(((${EPOCHREALTIME/./} - started) / 1000000))
listed=$(printf '%s\n' "$shown" | sed -n 's/^  //p')
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
started=${EPOCHREALTIME/./}
SELNARY_COMPRESSOR_FAULT=open show
seconds=$(((${EPOCHREALTIME/./} - started) / 1000000))
[ "$shown_status" -ne 0 ] || fail "the run succeeded although the compressor crashed the program"
# Failing fast: within the limit, and sooner than the good run above took.
[ "$seconds" -lt "$(scaled 30)" ] || fail "took $seconds s to report the crash"
[ "$seconds" -lt "$good_run" ] || fail "took $seconds s to report the crash, a good run $good_run s"
grep -q 'ended with status' "$logs/$case_name.err" || fail "does not say the program ended"
grep -q 'wine: Unhandled' "$logs/$case_name.err" || fail "does not pass on what Wine reported"
echo "[$case_name] run ended with status $shown_status after $seconds s (a good run: $good_run s): $(head -n 1 "$logs/$case_name.err")"

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
