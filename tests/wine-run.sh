#!/usr/bin/env bash
# Runs one Windows program in a Wine session of its own and passes on its exit status.
#   wine-run.sh TOOLS PREFIX PROGRAM [ARGS...]
set -euo pipefail
source "$(dirname "$0")/../tools/lib/wine-session.sh" "$1" "$@"
wine_session "$2"
shift 2
status=0
"$WINE" "$@" || status=$?
exit "$status"
