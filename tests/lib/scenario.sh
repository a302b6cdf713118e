# shellcheck shell=bash
# What the scenario scripts (tests/*/*.sh, scripts/test-*.sh) and ./demo.sh
# share. Sourced, by bash; sourcing it again does nothing. It owns the
# script's EXIT, INT, TERM and HUP traps: a script hands its own clean-up to
# at_exit, never to trap. Every message goes to standard output, so that a
# failure stays next to what led to it in ctest's log.
#
# Checks, and how the script ends:
#   fail MESSAGE [FILE...]     a check failed: "FAIL: MESSAGE", the last lines
#                              of each FILE, then whatever the script's own
#                              failure_context function (if any) prints; the
#                              script goes on, and finish counts it
#   die MESSAGE [FILE...]      the same, then the script ends with status 1
#   skip NAME REASON           the scenario cannot run here: says why and ends
#                              with status 77 (./test.sh counts it as skipped)
#   finish NAME                the closing line, "NAME: all checks passed" or
#                              "NAME: N failed"; ends with status 0 or 1
#
# Waiting for what can be observed:
#   wait_until SECONDS CMD...  runs CMD every 0.1 s until it succeeds (status
#                              0); status 1 once SECONDS have passed, and the
#                              caller says what did not happen
#   now_ms                     the time of day in milliseconds
#
# Processes. Whatever is started or tracked here ends when the script does,
# however it ends (a failed check, die, set -e, Ctrl+C, SIGTERM), together
# with the processes it started itself, and is waited for. Call these from
# the script's own shell, not from a subshell or a pipeline.
#   start_process [--input FILE] NAME CMD...
#                              runs CMD in the background; $! is its id. Its
#                              output goes where the call redirects it; its
#                              input is FILE, opened by the new process (so a
#                              FIFO's writer may open it afterwards), else
#                              /dev/null. When CMD is a program it also gets
#                              SIGTERM should the script be killed outright.
#   track_process NAME PID     a child started otherwise, ended the same way
#   running NAME               whether it still runs
#   wait_process NAME SECONDS  waits for it to end by itself: its status, or
#                              124 if it still runs after SECONDS
#   stop_process NAME [SIGNAL] ends it: SIGNAL (default TERM) to it alone, so
#                              that it can end in order, SIGKILL after 10 s;
#                              then whatever it started and left behind gets
#                              SIGTERM, and SIGKILL after 5 s; its status
#   at_exit CMD [ARG...]       runs CMD with these ARGs when the script ends,
#                              after its processes: the last registered first
#
# Building:
#   build_preset PRESET LOG [TARGET...]
#                              configures and builds the CMake preset (only the
#                              TARGETs, when named), its output in LOG; if that
#                              fails, shows LOG's last 30 lines and dies

[ -z "${scenario_loaded:-}" ] || return 0
scenario_loaded=1

failures=0
declare -A scenario_pid=()   # NAME: the id of the last process started under it
scenario_started=()          # every process started or tracked
scenario_at_exit=()          # commands, quoted for eval

scenario_report() {  # message, files...
  echo "FAIL: $1"
  shift
  local file
  for file; do
    echo "--- $file (last lines)"
    tail -n 25 -- "$file" 2>&1 | tr -d '\r'
  done
  if declare -F failure_context >/dev/null; then failure_context; fi
  return 0
}
fail() {
  failures=$((failures + 1))
  scenario_report "$@"
}
die() {
  failures=$((failures + 1))
  scenario_report "$@"
  exit 1
}
skip() {
  echo "$1: skipped: $2"
  exit 77
}
finish() {
  if [ "$failures" -eq 0 ]; then
    echo "$1: all checks passed"
    exit 0
  fi
  echo "$1: $failures failed"
  exit 1
}

now_ms() {
  local t=${EPOCHREALTIME//[.,]/}
  echo $((t / 1000))
}

wait_until() {
  local t=${EPOCHREALTIME//[.,]/}
  local deadline=$((t + $1 * 1000000))
  shift
  until "$@"; do
    t=${EPOCHREALTIME//[.,]/}
    [ "$t" -lt "$deadline" ] || return 1
    sleep 0.1  # the polling interval
  done
}

start_process() {
  local input=/dev/null name
  if [ "$1" = --input ]; then
    input=$2
    shift 2
  fi
  name=$1
  shift
  # A program is tied to the script; a function runs in the forked shell.
  if [ "$(type -t "$1")" = file ]; then
    setpriv --pdeathsig TERM -- "$@" <"$input" &
  else
    "$@" <"$input" &
  fi
  track_process "$name" $!
}

track_process() {
  scenario_pid[$1]=$2
  scenario_started+=("$2")
}

running() {
  local pid=${scenario_pid[$1]:-}
  [ -n "$pid" ] && scenario_alive "$pid"
}

wait_process() {
  local pid=${scenario_pid[$1]:-}
  [ -n "$pid" ] || return 127
  wait_until "$2" scenario_gone "$pid" || return 124
  wait "$pid"
}

stop_process() {
  local pid=${scenario_pid[$1]:-}
  [ -n "$pid" ] || return 0
  # Without the shell's notice of the signal that ended it.
  {
    scenario_end "${2:-TERM}" "$pid"
    wait "$pid"
  } 2>/dev/null
}

at_exit() {
  scenario_at_exit+=("$(printf '%q ' "$@")")
}

build_preset() {
  local preset=$1 log=$2 targets=()
  shift 2
  [ $# -eq 0 ] || targets=(--target "$@")
  mkdir -p "$(dirname "$log")"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" "${targets[@]}"; } >"$log" 2>&1; then
    tail -n 30 "$log"
    die "the $preset build failed (full log: $log)"
  fi
}

# Whether PID runs. A zombie does not: it has ended, and its parent (init,
# for an orphan) collects it when it gets to it.
scenario_alive() {  # pid
  local stat
  { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
  stat=${stat##*) }
  [ "${stat:0:1}" != Z ]
}
scenario_gone() {  # ids...: none of them runs
  local pid
  for pid; do
    ! scenario_alive "$pid" || return 1
  done
}

# Appends the ids of every process below PID to scenario_below, from the
# kernel's list of each of its threads' children.
scenario_below=()
scenario_list_below() {  # pid
  local file child children
  for file in /proc/"$1"/task/*/children; do
    [ -r "$file" ] || continue
    read -ra children <"$file" || true
    for child in "${children[@]}"; do
      scenario_below+=("$child")
      scenario_list_below "$child"
    done
  done
}

# Ends the processes PID... as stop_process does. What they started is listed
# first: once they end, it belongs to init and cannot be found from them.
scenario_end() {  # signal, ids...
  local signal=$1 pid left=()
  shift
  scenario_below=()
  for pid; do scenario_list_below "$pid"; done
  kill -"$signal" "$@" 2>/dev/null
  kill -CONT "$@" 2>/dev/null
  wait_until 10 scenario_gone "$@" || kill -KILL "$@" 2>/dev/null
  for pid in "${scenario_below[@]}"; do
    ! scenario_alive "$pid" || left+=("$pid")
  done
  if [ ${#left[@]} -gt 0 ]; then
    kill -TERM "${left[@]}" 2>/dev/null
    kill -CONT "${left[@]}" 2>/dev/null
    wait_until 5 scenario_gone "${left[@]}" || kill -KILL "${left[@]}" 2>/dev/null
  fi
  return 0
}

scenario_exit() {
  local status=$? pid live=() i
  set +e
  for pid in "${scenario_started[@]}"; do
    ! scenario_alive "$pid" || live+=("$pid")
  done
  if [ ${#live[@]} -gt 0 ]; then
    {
      scenario_end TERM "${live[@]}"
      wait "${live[@]}"
    } 2>/dev/null
  fi
  for ((i = ${#scenario_at_exit[@]} - 1; i >= 0; i--)); do
    eval "${scenario_at_exit[i]}"
  done
  exit "$status"
}
trap scenario_exit EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
