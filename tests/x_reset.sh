#!/usr/bin/env bash
# The X server's reset, in its smallest case: Xvfb resets itself whenever its
# last client disconnects, and a client that connects meanwhile is refused.
# Starts Xvfb (with OPTIONS, -noreset say), then N clients one after another,
# each connecting as the one before leaves, and counts those refused. A Wine
# program that starts as the last X client of a session leaves (a killed
# desktop, xdotool looking for a window) is such a client: its display
# driver does not load, and Wine says "The explorer process failed to start".
#   tests/x_reset.sh N [OPTIONS]
set -euo pipefail
n=$1
shift
said=$(mktemp -u)
mkfifo "$said"
Xvfb -displayfd 1 -nolisten tcp "$@" >"$said" 2>/dev/null &
server=$!
trap 'kill $server; rm -f "$said"' EXIT
read -r display <"$said"
export DISPLAY=:$display
refused=0
for _ in $(seq "$n"); do
  xdotool getdisplaygeometry >/dev/null 2>&1 || refused=$((refused + 1))
done
echo "Xvfb $*: $refused of $n clients were refused"
