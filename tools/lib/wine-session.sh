# Sourced by the run script and the test drivers: gives the calling script a
# Wine session of its own and takes it down again when the script exits.
#
#   source wine-session.sh TOOLS_FILE
#   wine_session PREFIX [--use-display]     # a fresh prefix made from the template
#   wine_user_session PREFIX [--use-display]  # someone's own prefix, used as it is
#
# TOOLS_FILE is the wine-tools.sh a configured build tree holds: the wine,
# wineserver, Xvfb, xdotool and flock that CMake found. Every tool is called by
# that path, never looked up on PATH again.
#
# The project's prefixes are copies of one template per Wine version, made once
# per folder. A copy shares the template's installed binaries through hard
# links and has its own registry and every other text file, and it is made anew
# for every session, so nothing lingers from an earlier run.

# shellcheck source=/dev/null
source "${1:?wine-session.sh needs the tools file of a configured build}"
if [ -n "${WINE_UNAVAILABLE:-}" ]; then
  echo "error: Windows programs cannot run under Wine here: $WINE_UNAVAILABLE" >&2
  exit 1
fi
for tool in WINE WINESERVER XVFB XDOTOOL FLOCK; do
  if [ -z "${!tool:-}" ]; then
    echo "error: $1 names no $tool (see the configure's warnings)" >&2
    exit 1
  fi
done
export WINE WINESERVER

# Keeps Wine from offering to install its Mono and Gecko add-ons.
wine_base_overrides="mscoree,mshtml="

session_dir=       # private temporary folder: the event channel, Xvfb's answer
session_events=    # file descriptor of the event channel
session_pids=()    # programs started through start_program, by their own ids
session_owns_server=yes  # whether ending the session may stop the prefix's wineserver
x_server_pid=
declare -A exit_statuses=()  # pid -> status, as reported on the event channel
restore_keys=()    # registry keys temporary_setting changed, in order
restore_files=()   # their exports from before, or "" where a key did not exist

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
      timeout 30 "$WINESERVER" -w 2>/dev/null || true
    fi
  fi
  if [ -n "$x_server_pid" ]; then
    kill "$x_server_pid" 2>/dev/null || true
    wait "$x_server_pid" 2>/dev/null || true
  fi
  [ -n "$session_dir" ] && rm -rf "$session_dir"
  return 0
}

# ---- The template and the prefixes made from it ------------------------------

# windows_path PATH: the Windows name of a file of this machine (Wine's Z: drive).
windows_path() {
  local path
  path=$(readlink -f "$1")
  printf 'Z:%s' "${path//\//\\}"
}

# The folder with Wine's own TrueType fonts (Tahoma, Marlett for the title-bar
# buttons), as a Windows path; empty where there is none.
wine_fonts_folder() {
  local bin dir
  bin=$(dirname "$(readlink -f "$WINE")")
  for dir in "$bin/../share/wine/fonts" "$bin/../../share/wine/fonts"; do
    if [ -f "$dir/marlett.ttf" ]; then
      windows_path "$dir"
      return 0
    fi
  done
}

# Debian's Wine 8 looks for its fonts at "<data dir>\../fonts", a path with
# ".." that Wine's own file system layer cannot open, so dialogs fall back to
# other fonts and the close button shows Marlett's letter "r". Naming the
# folder in Wine's font path makes them load; where Wine finds them itself,
# loading them twice is harmless.
wine_add_font_path() {
  local fonts
  fonts=$(wine_fonts_folder)
  [ -n "$fonts" ] || return 0
  wine_reg add 'HKCU\Software\Wine\Fonts' /v Path /t REG_SZ /d "$fonts" /f
}

# template_manifest FOLDER: the sha256 of every file in FOLDER, in a fixed order.
template_manifest() {
  (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
}

# Sets template to the template for the Wine in use and makes it when missing.
# Prefix creation is slow (about 15 s), so it happens once per folder and Wine
# version, under a lock; templates of other versions go when a new one is made.
wine_template() {
  local root=$1 version
  if ! version=$("$WINE" --version 2>&1); then
    echo "error: $WINE cannot start: $version" >&2
    return 1
  fi
  version=$(printf '%s' "$version" | tr -c 'A-Za-z0-9.+~-' '_')
  template=$root/template-$version
  mkdir -p "$root"
  (
    "$FLOCK" 9
    [ -d "$template" ] && exit 0
    rm -rf "$root"/template "$root"/template-* "$root"/template.log
    local new=$template.new
    if ! (
      export WINEPREFIX=$new WINEDEBUG=-all WINEDLLOVERRIDES=$wine_base_overrides
      unset DISPLAY
      "$WINE" wineboot.exe -i && "$WINESERVER" -w && wine_add_font_path && "$WINESERVER" -w
    ) >"$root/template.log" 2>&1; then
      echo "error: Wine could not create a prefix in $new:" >&2
      cat "$root/template.log" >&2
      exit 1
    fi
    # What the template holds when made, for the check that nothing changes it.
    template_manifest "$new" >"$template.sha256"
    mv "$new" "$template"
  ) 9>"$root/template.lock"
}

wine_prefix_from_template() {
  local prefix=$1
  wine_template "$(dirname "$prefix")" || return 1
  rm -rf "$prefix" "$prefix.new"
  cp -al "$template" "$prefix.new"
  # Only the installed binaries stay shared; everything Wine may rewrite is copied.
  find "$prefix.new" -type f ! -iregex '.*\.\(dll\|exe\|drv\|sys\|vxd\|ocx\|cpl\|acm\|ax\|ds\|com\|nls\|tlb\)' -print0 |
    while IFS= read -r -d '' file; do
      cp -p "$file" "$file.copy" && mv -f "$file.copy" "$file"
    done
  mv "$prefix.new" "$prefix"
}

# prefix_install FILE DEST: puts FILE into a prefix made from the template.
# DEST may be a hard link into the template, so it is replaced, never written through.
prefix_install() {
  rm -f "$2"
  cp "$1" "$2"
}

# wine_reg ARGS...: Wine's reg.exe, quiet when it succeeds; when it fails, what
# it said (it writes its errors to standard output) goes to standard error.
wine_reg() {
  local said status=0
  said=$("$WINE" reg "$@" 2>&1) || status=$?
  [ "$status" -eq 0 ] || printf 'error: reg %s failed (%s): %s\n' "$1" "$status" "$said" >&2
  return "$status"
}

# temporary_setting KEY NAME DATA: sets a registry value for this session only.
# Ending the session puts KEY back as it was, or removes it if it was not there.
temporary_setting() {
  local key=$1 saved=$session_dir/saved-${#restore_keys[@]}.reg
  if ! "$WINE" reg export "$key" "$(windows_path "$saved")" /y >/dev/null 2>&1; then
    saved=
  fi
  restore_keys+=("$key")
  restore_files+=("$saved")
  wine_reg add "$key" /v "$2" /d "$3" /f
}

restore_settings() {
  local i
  for ((i = ${#restore_keys[@]} - 1; i >= 0; i--)); do
    "$WINE" reg delete "${restore_keys[i]}" /f >/dev/null 2>&1 || true
    if [ -n "${restore_files[i]}" ]; then
      wine_reg import "$(windows_path "${restore_files[i]}")" ||
        echo "warning: could not put back ${restore_keys[i]} in $WINEPREFIX as it was" >&2
    fi
  done
  restore_keys=()
  restore_files=()
}

# ---- Sessions ----------------------------------------------------------------

# Starts an X server on a free display and exports DISPLAY.
start_x_server() {
  local display
  mkfifo "$session_dir/displayfd"
  "$XVFB" -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$session_dir/displayfd" 2>/dev/null &
  x_server_pid=$!
  if ! read -r -t 30 display <"$session_dir/displayfd"; then
    echo "error: Xvfb did not report a display within 30 s" >&2
    return 1
  fi
  export DISPLAY=":$display"
}

session_start() {
  trap wine_session_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  session_dir=$(mktemp -d)
  mkfifo "$session_dir/events"
  exec {session_events}<>"$session_dir/events"
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
  session_owns_server=no
  if wine_server_running; then
    session_owns_server=shared
  fi
  session_display "${2:-}"
}

# Whether a wineserver serves WINEPREFIX now. A server works in a folder named
# after its prefix's device and inode; where that folder lives differs
# between Wine builds, so the servers' own working folders are asked.
wine_server_running() {
  local want comm name
  want=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for comm in /proc/[0-9]*/comm; do
    # A process may end between the listing and the read.
    { read -r name <"$comm"; } 2>/dev/null || continue
    [[ $name == wineserver* ]] || continue
    [ "$(basename "$(readlink "${comm%comm}cwd" 2>/dev/null)")" = "$want" ] && return 0
  done
  return 1
}

# ---- Programs and what happens to them ---------------------------------------
#
# Background jobs report on one event channel, a line each: "exit PID STATUS"
# when a program ends, a window id when a search finds one. Every wait is a read
# of that channel with a deadline, so it ends with the first thing that happens.

# next_event DEADLINE: reads the next line into event; fails once DEADLINE
# (microseconds since the epoch) has passed.
next_event() {
  local left=$(($1 - ${EPOCHREALTIME/./}))
  ((left > 0)) || return 1
  read -r -t "$((left / 1000000)).$(printf '%06d' $((left % 1000000)))" -u "$session_events" event ||
    return 1
  if [[ $event == "exit "* ]]; then
    local fields=($event)
    exit_statuses[${fields[1]}]=${fields[2]}
  fi
}

deadline_in() { echo $((${EPOCHREALTIME/./} + $1 * 1000000)); }

# start_program COMMAND...: starts COMMAND in the background and sets
# program_pid. Redirections on the call apply to the program.
start_program() {
  {
    local status=0 pid
    "$@" &
    pid=$!
    echo "start $pid" >&"$session_events"
    wait "$pid" || status=$?
    echo "exit $pid $status" >&"$session_events"
  } &
  program_pid=
  while [ -z "$program_pid" ]; do
    read -r -u "$session_events" event
    [[ $event == "start "* ]] && program_pid=${event#start }
  done
  session_pids+=("$program_pid")
}

# wait_for_window TITLE SECONDS: sets window to the visible window titled
# exactly TITLE. Fails, saying why, when the program ends first or the time runs out.
wait_for_window() {
  local title=$1 seconds=$2 pattern search deadline
  pattern="^$(printf '%s' "$title" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$"
  "$XDOTOOL" search --sync --limit 1 --onlyvisible --name "$pattern" >&"$session_events" 2>/dev/null &
  search=$!
  deadline=$(deadline_in "$seconds")
  window=
  while [ -z "${exit_statuses[$program_pid]:-}" ] && next_event "$deadline"; do
    # A window id; one left over from an earlier search names no window now.
    if [[ $event =~ ^[0-9]+$ ]] && [ "$("$XDOTOOL" getwindowname "$event" 2>/dev/null)" = "$title" ]; then
      window=$event
      break
    fi
  done
  kill "$search" 2>/dev/null || true
  wait "$search" 2>/dev/null || true
  [ -n "$window" ] && return 0
  if [ -n "${exit_statuses[$program_pid]:-}" ]; then
    echo "error: the program ended with status ${exit_statuses[$program_pid]} before its window '$title' appeared" >&2
  else
    echo "error: no window titled '$title' appeared within $seconds s" >&2
  fi
  return 1
}

# wait_for_exit PID SECONDS: waits for a program started through start_program
# to end, for SECONDS at most, and sets exit_status (143 when it had to be stopped).
wait_for_exit() {
  local pid=$1 deadline
  deadline=$(deadline_in "$2")
  while [ -z "${exit_statuses[$pid]:-}" ] && next_event "$deadline"; do :; done
  if [ -z "${exit_statuses[$pid]:-}" ]; then
    kill "$pid" 2>/dev/null || true
    deadline=$(deadline_in 10)
    while [ -z "${exit_statuses[$pid]:-}" ] && next_event "$deadline"; do :; done
  fi
  exit_status=${exit_statuses[$pid]:-143}
}

# system_folder x86|x64: where the prefix keeps system DLLs for programs of
# that kind; a 64-bit prefix keeps the 32-bit ones in syswow64.
system_folder() {
  case $1 in
    x86) echo "$WINEPREFIX/drive_c/windows/syswow64" ;;
    x64) echo "$WINEPREFIX/drive_c/windows/system32" ;;
    *) echo "error: no system folder for '$1'" >&2; return 1 ;;
  esac
}
