# Sourced by the run script and the test drivers: gives the calling script a
# Wine session of its own and takes it down again when the script exits.
#
#   WINE=/usr/bin/wine; source wine-session.sh; wine_session /path/to/prefix
#
# The prefix is made from a template that is created once per folder and
# shared by hard links; Wine's registry and other text files are copied so
# that no session can write into the template. Each session gets its own
# X server, on a display number the server picks itself.

: "${WINE:?WINE must name the wine command}"

# Keeps Wine from offering to install its Mono and Gecko add-ons.
wine_base_overrides="mscoree,mshtml="

session_pids=()  # programs the driver started, by their own ids
x_server_pid=

wine_session_cleanup() {
  local pid
  for pid in "${session_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  if [ -n "$x_server_pid" ]; then
    kill "$x_server_pid" 2>/dev/null || true
    wait "$x_server_pid" 2>/dev/null || true
  fi
}

# Prefix creation is slow (about 15 s), so it happens once per folder, under a lock.
wine_template() {
  local root=$1 template=$1/template
  mkdir -p "$root"
  (
    flock 9
    if [ ! -d "$template" ]; then
      rm -rf "$template.new"
      if ! env -u DISPLAY WINEPREFIX="$template.new" WINEDEBUG=-all WINEDLLOVERRIDES="$wine_base_overrides" \
          "$WINE" wineboot.exe -i >"$root/template.log" 2>&1; then
        echo "error: Wine could not create a prefix in $template.new:" >&2
        cat "$root/template.log" >&2
        exit 1
      fi
      WINEPREFIX="$template.new" wineserver -w
      mv "$template.new" "$template"
    fi
  ) 9>"$root/template.lock"
}

wine_prefix_from_template() {
  local prefix=$1 template
  template=$(dirname "$prefix")/template
  [ -d "$prefix" ] && return 0
  wine_template "$(dirname "$prefix")"
  rm -rf "$prefix.new"
  cp -al "$template" "$prefix.new"
  # Only the installed binaries stay shared; everything Wine may rewrite is copied.
  find "$prefix.new" -type f ! -iregex '.*\.\(dll\|exe\|drv\|sys\|vxd\|ocx\|cpl\|acm\|ax\|ds\|com\|nls\|tlb\)' -print0 |
    while IFS= read -r -d '' file; do
      cp -p "$file" "$file.copy" && mv -f "$file.copy" "$file"
    done
  mv "$prefix.new" "$prefix"
}

# Starts an X server on a free display and exports DISPLAY.
start_x_server() {
  local fifo display
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$fifo" 2>/dev/null &
  x_server_pid=$!
  if ! read -r -t 30 display <"$fifo"; then
    rm -f "$fifo"
    echo "error: Xvfb did not report a display within 30 s" >&2
    return 1
  fi
  rm -f "$fifo"
  export DISPLAY=":$display"
}

# wine_session PREFIX [--use-display]: with --use-display the caller's own
# DISPLAY is used instead of a virtual one.
wine_session() {
  trap wine_session_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  wine_prefix_from_template "$1"
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="$wine_base_overrides"
  if [ "${2:-}" != --use-display ]; then
    start_x_server
  fi
}

# Prints the id of the visible window titled exactly TITLE, waiting up to SECONDS.
wait_for_window() {
  local title=$1 seconds=$2 pattern window
  pattern="^$(printf '%s' "$title" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$"
  window=$(timeout "$seconds" xdotool search --sync --onlyvisible --name "$pattern" | head -n 1) || true
  if [ -z "$window" ]; then
    echo "error: no window titled '$title' appeared within $seconds s" >&2
    return 1
  fi
  echo "$window"
}

# Waits for a program this script started to end, for SECONDS at most, and
# sets exit_status (143 when it had to be stopped). Not for $(...): only this
# shell can wait for its own children.
wait_for_exit() {
  local pid=$1 seconds=$2 watchdog
  # A watchdog rather than a polling loop: the wait ends as soon as the program does.
  (sleep "$seconds" && kill "$pid" 2>/dev/null) &
  watchdog=$!
  exit_status=0
  wait "$pid" || exit_status=$?
  kill "$watchdog" 2>/dev/null || true
  wait "$watchdog" 2>/dev/null || true
}
