#!/usr/bin/env bash
# A user's own prefix whose wineserver was started outside the run, as by
# any earlier Wine program of theirs: the headless run uses that server, even
# where x86 runs inside a namespace of its own, and leaves it running.
#   own_prefix_test.sh TOOLS PREFIX BUILD_DIR ARCH
set -euo pipefail
build_dir=$3 arch=$4
here=$(dirname "$0")
# This script stays outside, as the user's own programs do; the run enters.
source "$here/../tools/lib/wine-session.sh" "$1" --stay-outside
session_start
wine_prefix_from_template "$2"
export WINEPREFIX=$2
"$WINESERVER" -p  # persistent, as a user's running server is; the session ends it

server_pids() {
  local comm want
  want=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for comm in /proc/[0-9]*/comm; do
    [[ $(cat "$comm" 2>/dev/null) == wineserver* ]] || continue
    [ "$(basename "$(readlink "${comm%comm}cwd" 2>/dev/null)")" = "$want" ] && basename "${comm%/comm}"
  done
  return 0
}
# The server may still be settling in its folder when -p returns on a busy machine.
deadline=$(deadline_in "$(scaled 10)")
while before=$(server_pids) && [ "$(wc -w <<<"$before")" -ne 1 ] && [ "${EPOCHREALTIME/./}" -lt "$deadline" ]; do
  sleep 0.1
done
[ "$(wc -w <<<"$before")" -eq 1 ] || { echo "FAIL: expected one server before the run, found: $before" >&2; exit 1; }

status=0
shown=$(env -u DISPLAY timeout "$(scaled 60)" bash "$here/../tools/lib/show.sh" "$build_dir" "$arch" \
  "$WINEPREFIX/picture.png" 2>"$session_dir/show.err") || status=$?
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
[ "$status" -eq 0 ] || fail "the run ended with status $status: $(cat "$session_dir/show.err")"
grep -qx '  Full Frames (Uncompressed)' <<<"$shown" || fail "no list: $shown"
grep -qxF "Using the wineserver already running for $WINEPREFIX; it is left running." <<<"$shown" ||
  fail "the run did not find the server that serves the prefix"
after=$(server_pids)
[ "$after" = "$before" ] || fail "servers for the prefix before the run: $before; after: $(echo $after)"
[ "$failures" -eq 0 ] || exit 1
echo "the run used the server started outside it (pid $before), which still runs"
