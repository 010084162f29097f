#!/usr/bin/env bash
# Shows a built selnary.exe under Wine: run.sh's second half, and what the
# tests run as a user would.
#   show.sh BUILD_DIR ARCH PICTURE
#
# With a DISPLAY the chooser appears there and this ends, with the program's
# status, when it is closed. Without one it runs on a virtual display, prints
# the compressors the chooser offers, saves a picture with the list open,
# presses Cancel, and prints what each compressor answers about the probe
# format (selnary-compressors.exe), also when the chooser failed.
#
# WINEPREFIX, when set, names a prefix of your own to use as it is (its
# installed compressors); nothing is created in it and nothing set in it
# outlasts the run. Without it the program runs in a fresh prefix under
# the build's folder for prefixes (build/wine/ through the presets).
set -euo pipefail
build_dir=$(cd "$1" && pwd) arch=$2 picture=$3
exe=$build_dir/selnary.exe
reader=$build_dir/reader/list-reader.exe
report=$build_dir/report/selnary-compressors.exe
title="selnary ($arch)"
case "$arch" in
  x86) bits=32 ;;
  x64) bits=64 ;;
  *) echo "error: no target '$arch'" >&2; exit 2 ;;
esac
own_prefix=${WINEPREFIX:-}
source "$(dirname "$0")/wine-session.sh" "$build_dir/wine-tools.sh" "$@"

display=
[ -n "${DISPLAY:-}" ] && display=--use-display
if [ -n "$own_prefix" ]; then
  wine_user_session "$own_prefix" $display
  if [ "$session_owns_server" = shared ]; then
    echo "Using the wineserver already running for $WINEPREFIX; it is left running."
  fi
else
  wine_session "$WINE_ROOT/run-$arch" $display
fi

if [ -n "$display" ]; then
  status=0
  "$WINE" "$exe" || status=$?
  echo "selnary.exe exited with status $status"
  exit "$status"
fi

# No window manager on the virtual display: Wine draws the title bar itself.
if [ -n "$own_prefix" ]; then
  temporary_setting 'HKCU\Software\Wine\X11 Driver' Decorated N
else
  wine_reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f
fi

# A compressor that crashes the chooser ends the program with its fault
# status, rather than in Wine's debugger waiting for someone to close it.
log=$session_dir/wine.log
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d" start_program "$WINE" "$exe" >"$log" 2>&1
# What every compressor of this bitness answers about the probe format,
# each asked in a process of its own, so that a faulty one costs its row only.
print_report() {
  local status=0
  echo
  "$WINE" "$report" --timeout "$(scaled 10)" || status=$?
  case $status in
    0 | 3) ;;
    *) echo "warning: selnary-compressors.exe could not report (status $status)" >&2 ;;
  esac
}

if ! wait_for_window "$title" 60; then
  if [ -z "${exit_statuses[$program_pid]:-}" ]; then
    echo "selnary.exe is still running without its chooser: a compressor may hang when opened." >&2
  fi
  if [ -s "$log" ]; then
    echo "Wine reported:" >&2
    sed 's/^/  /' "$log" >&2
  fi
  # The report tells which compressor it was.
  print_report
  exit 1
fi

# One start of the reader lists the entries and drops the list open: under
# emulation every start of an x86 program takes seconds.
echo "Compressors offered in \"$title\" ($bits-bit), in list order:"
list=$("$WINE" "$reader" --open "$title")
printf '%s\n' "$list" | sed 's/^/  /'
eval "$("$XDOTOOL" getwindowgeometry --shell "$window")"
mkdir -p "$(dirname "$picture")"
"$IMPORT" -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$session_dir/picture.png"
mv "$session_dir/picture.png" "$picture"
echo "Picture of the chooser with the list open: $picture"

# The first Escape closes the list, the second cancels the chooser.
"$XDOTOOL" key --window "$window" Escape Escape 2>/dev/null
wait_for_exit "$program_pid" 10
echo "selnary.exe exited with status $exit_status"
print_report
exit "$exit_status"
