#!/usr/bin/env bash
# Runs one Windows program in a Wine session of its own and passes on its exit status.
#   wine-run.sh PREFIX WINE PROGRAM [ARGS...]
set -euo pipefail
export WINE=$2
source "$(dirname "$0")/../tools/wine-session.sh"
wine_session "$1"
shift 2
status=0
"$WINE" "$@" || status=$?
exit "$status"
