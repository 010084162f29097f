#!/usr/bin/env bash
# Without the chooser library the loader must refuse to start the program:
# its imports cannot be bound, so none of its own code may run.
#   refusal_test.sh TOOLS PREFIX EXE
set -euo pipefail
exe=$3
source "$(dirname "$0")/../tools/lib/wine-session.sh" "$1" "$@"
wine_session "$2"

# Wine passes on the low byte of the loader's STATUS_DLL_NOT_FOUND (0xC0000135);
# had the program's entry run, it would have returned 0.
dll_not_found=$((0xC0000135 & 0xFF))

status=0
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;msvfw32=d" timeout "$(scaled 60)" "$WINE" "$exe" || status=$?
if [ "$status" -ne "$dll_not_found" ]; then
  echo "FAIL: exit status $status, expected $dll_not_found (the loader's 'DLL not found')" >&2
  exit 1
fi
echo "the loader refused to start the program: status $status"
