#!/usr/bin/env bash
# The real chooser, Wine's own MSVFW32.dll, on a virtual display: the dialog
# appears under the program's title as the only window, and both Cancel
# (Escape) and OK (Return) end the program with status 0.
#   chooser_test.sh TOOLS PREFIX EXE TITLE
set -euo pipefail
exe=$3 title=$4
source "$(dirname "$0")/../tools/lib/wine-session.sh" "$1" "$@"
wine_session "$2"

failures=0
fail() { echo "FAIL [$key]: $*" >&2; failures=$((failures + 1)); }
milliseconds_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

for key in Escape Return; do
  started=$(date +%s%N)
  start_program "$WINE" "$exe"
  if ! wait_for_window "$title" 60; then
    fail "no dialog"
    continue
  fi
  echo "[$key] dialog visible $(milliseconds_since "$started") ms after launch"

  root=$("$XDOTOOL" search --maxdepth 0 --name '' | head -n 1)
  others=$("$XDOTOOL" search --maxdepth 1 --onlyvisible --name '' | grep -vx -e "$window" -e "$root" || true)
  for other in $others; do
    fail "another visible top-level window: '$("$XDOTOOL" getwindowname "$other")'"
  done

  pressed=$(date +%s%N)
  "$XDOTOOL" key --window "$window" "$key" 2>/dev/null
  wait_for_exit "$program_pid" 10
  if [ "$exit_status" -ne 0 ]; then
    fail "exit status $exit_status $(milliseconds_since "$pressed") ms after the key (143: still open after $(scaled 10) s)"
  else
    echo "[$key] exited with status 0, $(milliseconds_since "$pressed") ms after the key"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
