# Sourced by the run script and the test drivers: gives the calling script a
# Wine session of its own and takes it down again when the script ends,
# however it ends.
#
#   source wine-session.sh TOOLS_FILE "$@"
#   wine_session PREFIX [--use-display]       # a fresh prefix made from the template
#   wine_user_session PREFIX [--use-display]  # someone's own prefix, used as it is
#
# TOOLS_FILE is the wine-tools.sh a configured build tree holds: the wine,
# wineserver, Xvfb, xdotool and flock that CMake found, and how x86 code runs
# here. Every tool is called by that path, never looked up on PATH again.
# The calling script's own arguments follow it: where x86 code runs under
# emulation, the script runs itself again inside it (x86-emulate.sh), so that
# every process of the session shares that namespace. A script that must stay
# outside (to start something there) passes --stay-outside instead.
#
# The parts: prefixes.sh (the template, prefixes, registry settings) and
# processes.sh (the session's processes, display and waits).

# shellcheck source=/dev/null
source "${1:?wine-session.sh needs the tools file of a configured build}"
session_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ -n "${WINE_UNAVAILABLE:-}" ]; then
  echo "error: Windows programs cannot run under Wine here: $WINE_UNAVAILABLE" >&2
  exit 1
fi
for tool in WINE WINESERVER XVFB XDOTOOL FLOCK PYTHON; do
  if [ -z "${!tool:-}" ]; then
    echo "error: $1 names no $tool (see the configure's warnings)" >&2
    exit 1
  fi
done
if [ -z "${SELNARY_X86_EMULATED:-}" ] && [ "${2:-}" != --stay-outside ]; then
  case $X86_MODE in
    private-emulation) exec "$BASH" "$session_lib/x86-emulate.sh" "$X86_QEMU" "$BASH" "$0" "${@:2}" ;;
    machine-emulation) exec "$BASH" "$session_lib/x86-emulate.sh" --machine-handler "$BASH" "$0" "${@:2}" ;;
  esac
fi
export WINE WINESERVER

source "$session_lib/processes.sh"
source "$session_lib/prefixes.sh"

session_owns_server=yes  # whether ending the session may stop the prefix's wineserver

wine_session_cleanup() {
  local pid
  # Programs whose end has not been reported yet, then every other job of
  # this shell but the X server, which the programs may still be using.
  [ -n "$session_events" ] && while read -r -t 0 -u "$session_events"; do next_event "$(deadline_in 1)"; done
  for pid in "${session_pids[@]}"; do
    [ -n "${exit_statuses[$pid]:-}" ] || kill "$pid" 2>/dev/null || true
  done
  for pid in $(jobs -p); do
    [ "$pid" = "$x_server_pid" ] && continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  restore_settings
  if [ -n "${WINEPREFIX:-}" ]; then
    if [ "$session_owns_server" = yes ]; then
      "$WINESERVER" -k 2>/dev/null || true
    fi
    # A server this session started ends once its programs have; one that
    # was running before belongs to someone else and is left alone.
    if [ "$session_owns_server" != shared ]; then
      timeout "$(scaled 30)" "$WINESERVER" -w 2>/dev/null || true
    fi
  fi
  if [ -n "$x_server_pid" ]; then
    kill "$x_server_pid" 2>/dev/null || true
    wait "$x_server_pid" 2>/dev/null || true
  fi
  # Whatever else the session started, a template's wineboot among them.
  sweep_session "$SELNARY_SESSION"
  [ -n "$session_dir" ] && rm -rf "$session_dir"
  return 0
}

session_start() {
  trap wine_session_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  session_dir=$(mktemp -d)
  mkfifo "$session_dir/events"
  exec {session_events}<>"$session_dir/events"
  export SELNARY_SESSION=$BASHPID-${EPOCHREALTIME/./}
  start_session_guard
}

session_display() {
  if [ "${1:-}" != --use-display ]; then
    start_x_server
  fi
}

# wine_session PREFIX [--use-display]: a fresh prefix from the template. With
# --use-display the caller's own DISPLAY is used instead of a virtual one.
wine_session() {
  session_start
  wine_prefix_from_template "$1"
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="$wine_base_overrides"
  choose_wine_tool
  session_display "${2:-}"
}

# wine_user_session PREFIX [--use-display]: runs in a prefix someone made,
# creating nothing in it. A folder that is not a Wine prefix is refused rather
# than turned into one, and a wineserver that already serves it is left running.
wine_user_session() {
  local prefix=$1
  if [ ! -d "$prefix" ]; then
    echo "error: WINEPREFIX=$prefix does not exist; it must name an existing Wine prefix" >&2
    return 1
  fi
  prefix=$(cd "$prefix" && pwd)  # Wine takes absolute paths only
  if [ ! -f "$prefix/system.reg" ] || [ ! -d "$prefix/drive_c" ]; then
    echo "error: WINEPREFIX=$prefix is not a Wine prefix (no system.reg and drive_c)" >&2
    return 1
  fi
  if [ "$(stat -c %u "$prefix")" != "$(id -u)" ]; then
    echo "error: WINEPREFIX=$prefix belongs to $(stat -c %U "$prefix"); Wine runs only in a prefix of your own" >&2
    return 1
  fi
  session_start
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="$wine_base_overrides"
  choose_wine_tool
  session_owns_server=no
  if wine_server_running; then
    session_owns_server=shared
  fi
  session_display "${2:-}"
}
