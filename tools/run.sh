#!/usr/bin/env bash
# Installs what is missing, builds, and runs selnary.exe under Wine.
#   run.sh [x86|x64]   (x86 when not given)
# With a DISPLAY the chooser appears there and this ends when it is closed;
# without one it runs on a virtual display, saves a screenshot, presses Cancel.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-x86}
case "$arch" in
  x86 | x64) ;;
  *) echo "usage: tools/run.sh [x86|x64]" >&2; exit 2 ;;
esac
source tools/setup.sh
install_missing_packages
check_build_owner
build_preset "$arch" --log-level=WARNING >/dev/null

exe=$PWD/build/$arch/selnary.exe
title="selnary ($arch)"
tools=$PWD/build/$arch/wine-tools.sh
source tools/wine-session.sh "$tools"

if [ -n "${DISPLAY:-}" ]; then
  wine_session "$PWD/build/wine/run" --use-display
  status=0
  "$WINE" "$exe" || status=$?
  echo "selnary.exe exited with status $status"
  exit "$status"
fi

wine_session "$PWD/build/wine/screenshot"
# No window manager on the virtual display: let Wine draw the title bar itself.
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
start_program "$WINE" "$exe"
wait_for_window "$title" 60
picture=$PWD/build/selnary-$arch.png
"$IMPORT" -window "$window" "$picture"
"$XDOTOOL" key --window "$window" Escape 2>/dev/null
wait_for_exit "$program_pid" 10
echo "Screenshot of the chooser: $picture"
echo "selnary.exe exited with status $exit_status"
exit "$exit_status"
