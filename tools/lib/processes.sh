# Sourced by wine-session.sh: the processes of one Wine session, its virtual
# display, and the waits on them.
#
# Every process a session starts carries SELNARY_SESSION in its environment,
# Wine's own too: the wineserver it starts, the services, the programs. A
# guard outside the caller's process tree waits for the session's script to
# end, however it ends (CTest kills a timed-out test's whole tree with
# SIGKILL), and then ends every process that still carries the tag.
#
# Background jobs report on one event channel, a line each: "exit PID STATUS"
# when a program ends, a window id when a search finds one. Every wait is a
# read of that channel with a deadline, so it ends with the first thing that
# happens. Each limit is given as its native figure; SLOWDOWN scales it.

session_dir=       # private temporary folder: the event channel, Xvfb's answer
session_events=    # file descriptor of the event channel
session_pids=()    # programs started through start_program, by their own ids
x_server_pid=
declare -A exit_statuses=()  # pid -> status, as reported on the event channel

# scaled SECONDS: a native time limit, as long as it must be for this target here.
scaled() { echo $(($1 * ${SLOWDOWN:-1})); }

# sweep_session TAG: ends every process tagged TAG but the guards, until none is left.
sweep_session() {
  local tag=SELNARY_SESSION=$1 environ pid found vars
  while :; do
    found=0
    for environ in /proc/[0-9]*/environ; do
      pid=${environ#/proc/}
      pid=${pid%/environ}
      [ "$pid" = "$BASHPID" ] && continue
      # A process may end, or belong to someone else, between the listing and the read.
      mapfile -d '' vars 2>/dev/null <"$environ" || continue
      [[ " ${vars[*]} " == *" $tag "* ]] || continue
      [[ " ${vars[*]} " == *" SELNARY_SESSION_GUARD=1 "* ]] && continue
      kill -KILL "$pid" 2>/dev/null && found=1
    done
    [ "$found" -eq 0 ] && return 0
  done
}

# guard_session PID TAG PYTHON FOLDER: waits for PID to end, then ends what
# it left running and removes its private FOLDER.
guard_session() {
  "$3" -c 'import os, select, sys
try:
    select.select([os.pidfd_open(int(sys.argv[1]))], [], [])
except ProcessLookupError:
    pass' "$1" || true
  sweep_session "$2"
  rm -rf "$4"
}

# Starts the guard of this shell's session, detached so that killing the
# caller's process tree does not reach it.
start_session_guard() {
  local script=$BASHPID
  (
    SELNARY_SESSION_GUARD=1 setsid "$BASH" -c 'source "$1"; guard_session "${@:2}"' guard \
      "${BASH_SOURCE[0]}" "$script" "$SELNARY_SESSION" "$PYTHON" "$session_dir" \
      </dev/null >/dev/null 2>&1 &
  )
}

# Starts an X server on a free display and exports DISPLAY.
start_x_server() {
  local display
  mkfifo "$session_dir/displayfd"
  "$XVFB" -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$session_dir/displayfd" 2>/dev/null &
  x_server_pid=$!
  if ! read -r -t "$(scaled 30)" display <"$session_dir/displayfd"; then
    echo "error: Xvfb did not report a display within $(scaled 30) s" >&2
    return 1
  fi
  export DISPLAY=":$display"
}

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

# deadline_in SECONDS: the deadline that many seconds from now, unscaled.
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
# exactly TITLE. Fails, saying why, when the program ends first or the time
# (SECONDS, scaled) runs out.
wait_for_window() {
  local title=$1 seconds pattern search deadline
  seconds=$(scaled "$2")
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
# to end, for SECONDS (scaled) at most, and sets exit_status (143 when it had
# to be stopped).
wait_for_exit() {
  local pid=$1 deadline
  deadline=$(deadline_in "$(scaled "$2")")
  while [ -z "${exit_statuses[$pid]:-}" ] && next_event "$deadline"; do :; done
  if [ -z "${exit_statuses[$pid]:-}" ]; then
    kill "$pid" 2>/dev/null || true
    deadline=$(deadline_in "$(scaled 10)")
    while [ -z "${exit_statuses[$pid]:-}" ] && next_event "$deadline"; do :; done
  fi
  exit_status=${exit_statuses[$pid]:-143}
}
