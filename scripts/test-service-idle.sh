#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through wait_until and start_process
# The installed vek-mpris service, as its unit runs it, over a day of the
# player coming and going, on a private session bus and in a Wine prefix of
# its own:
#   1. no player for 30 s: no Wine process of the prefix may run; what the
#      service runs is reported (resident memory, CPU time, wake-ups);
#   2. vek-player plays the sample playlist: the player reaches the bus within
#      2 s of the component's start, and its first track is shown;
#   3. the player ends: within 30 s no Wine process of the prefix is left;
#   4. another Wine program (cmd) runs first, the player after it: the same,
#      the reader runs once alongside it (never restarted in a loop), and once
#      it ends too, no Wine process is left within 30 s.
# Then the service stops in order (status 0).
#   scripts/test-service-idle.sh [--keep]   (--keep: leave the temporary folder)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
# shellcheck source=tests/lib/scenario.sh
source tests/lib/scenario.sh
# shellcheck source=tests/mpris/private_bus.sh
source tests/mpris/private_bus.sh
# shellcheck source=tests/lib/service.sh
source tests/lib/service.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/vek-service-idle.XXXXXX")
[ "${1:-}" = --keep ] || at_exit rm -rf "$work"
note() { echo "  $*"; }

service_install "$work"
service_wine_prefix wineprefix-idle

mpris_bus "$work"
# Each line of the bus's signals, stamped with the time it was read (ms).
stamped() {
  local line t
  while IFS= read -r line; do
    t=${EPOCHREALTIME//[.,]/}
    printf '%s %s\n' $((t / 1000)) "$line"
  done
}
watch_bus() {
  dbus-monitor --session "type='signal',interface='org.freedesktop.DBus.Properties'" \
    "type='signal',member='NameOwnerChanged',arg0='org.mpris.MediaPlayer2.vek_ipc'" 2>/dev/null | stamped
}
start_process monitor watch_bus >"$work/bus.log"

# The service as the unit starts it: a clean environment from its settings.
start_process service env -i "HOME=$HOME" "PATH=/usr/local/bin:/usr/bin:/bin" "WINEPREFIX=$WINEPREFIX" \
  "WINEDEBUG=-all" "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS" \
  "$work/prefix/bin/vek-mpris" --wine >"$work/service.log" 2>&1
service_pid=${scenario_pid[service]}

# The service's processes: "pid name" lines.
service_processes() {
  scenario_below=()
  scenario_list_below "$service_pid"
  local pid
  for pid in "$service_pid" "${scenario_below[@]}"; do
    [ -r "/proc/$pid/comm" ] && echo "$pid $(cat "/proc/$pid/comm" 2>/dev/null)"
  done
}
# The service's processes' resident memory (kB), time on a CPU (ns, the
# scheduler's exact account) and context switches (each a wake-up), summed.
service_costs() {
  local pid _ rss=0 ran=0 switches=0 value
  while read -r pid _; do
    value=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    rss=$((rss + ${value:-0}))
    value=$(cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { print n + 0 }')
    ran=$((ran + ${value:-0}))
    value=$(cat /proc/"$pid"/task/*/status 2>/dev/null | awk '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print n + 0 }')
    switches=$((switches + ${value:-0}))
  done < <(service_processes)
  echo "$rss $ran $switches"
}

# The service waits for Wine: it runs nothing besides itself.
service_waits() { [ "$(service_processes | wc -l)" -eq 1 ]; }

# Phase 1: no player.
wait_until 10 service_waits ||
  fail "the service does not wait for Wine: $(service_processes | tr '\n' ' ')" "$work/service.log"
echo "==> 30 s without a player"
read -r _ ran_before switches_before < <(service_costs)
for _ in $(seq 30); do
  sleep 1
  no_wine || fail "a Wine process runs without a player: $(wine_processes | tr '\n' ';')"
done
read -r rss ran_after switches_after < <(service_costs)
note "the service's processes: $(service_processes | awk '{print $2}' | sort | tr '\n' ' ')"
note "$(awk -v rss="$rss" -v ns=$((ran_after - ran_before)) -v s=$((switches_after - switches_before)) \
  'BEGIN { printf "%.1f MB resident, %.4f %% of a core, %.2f wake-ups/s over 30 s", rss / 1024, ns / 1e9 / 30 * 100, s / 30 }')"
note "Wine processes of the prefix: none"

# Plays the sample playlist; its lines stamped in $work/NAME.player.log.
play() {  # name
  "$root/cmake/wine-run" "$work/prefix/share/vek-ipc/vek-player.exe" "$work/prefix/share/vek-ipc/sample.playlist" |
    stamped
}
first_title=$(sed -n 's/^title = //p' "$work/prefix/share/vek-ipc/sample.playlist" | head -n 1)
# The time (ms) of the first bus line from time T on that holds TEXT.
bus_after() { awk -v t="$1" -v text="$2" '$1 >= t && index($0, text) { print $1; exit }' "$work/bus.log"; }
bus_has() { [ -n "$(bus_after "$@")" ]; }
# The player's round: on the bus within 2 s of the component's start, its
# first track shown, and gone from the bus once it ends.
player_round() {  # name
  local name=$1 loaded on_bus shown
  : >"$work/$name.player.log"
  start_process player play "$name" >"$work/$name.player.log" 2>"$work/$name.player.err"
  wait_until 60 grep -q ' loaded ' "$work/$name.player.log" || fail "$name: the player did not start" "$work/$name.player.log"
  loaded=$(grep -m 1 ' loaded ' "$work/$name.player.log" | cut -d' ' -f1)
  wait_until 10 bus_has "$loaded" 'string "org.mpris.MediaPlayer2.vek_ipc"'
  on_bus=$(bus_after "$loaded" 'string "org.mpris.MediaPlayer2.vek_ipc"')
  [ -n "$on_bus" ] || fail "$name: the player never reached the bus" "$work/service.log"
  note "$name: on the bus $((on_bus - loaded)) ms after the component started"
  [ $((on_bus - loaded)) -le 2000 ] || fail "$name: the player reached the bus $((on_bus - loaded)) ms after it started"
  wait_process player 60 || fail "$name: the player did not end well" "$work/$name.player.log"
  shown=$(bus_after "$loaded" "string \"$first_title\"")
  [ -n "$shown" ] || fail "$name: the first track ($first_title) never reached the bus" "$work/bus.log"
  note "$name: the first track shown $((shown - loaded)) ms after the component started"
}
# After the last Wine program: within 30 s no Wine process of the prefix, and
# the service waits again.
all_ended() {  # name, since (ms)
  wait_until 30 no_wine || fail "$1: Wine processes left 30 s after the last program: $(wine_processes | tr '\n' ';')"
  note "$1: no Wine process $(($(now_ms) - $2)) ms after the last program ended"
  wait_until 5 service_waits ||
    fail "$1: the service does not wait again: $(service_processes | tr '\n' ' ')"
  running service || fail "$1: the service ended" "$work/service.log"
}

echo "==> the player alone"
player_round alone
all_ended alone "$(now_ms)"

echo "==> another Wine program, then the player"
mkfifo "$work/cmd.in"
start_process --input "$work/cmd.in" other wine cmd >"$work/cmd.log" 2>&1
exec 8>"$work/cmd.in"
reader_pid() { service_processes | awk '$2 == "vek-ipc-read.ex" { print $1; exit }'; }
reader_runs() { [ -n "$(reader_pid)" ]; }
wait_until 20 reader_runs || fail "the reader did not start beside cmd" "$work/service.log"
first_reader=$(reader_pid)
player_round beside
# Well past the reader's idle time: the reader stays while cmd runs.
sleep 8
[ "$(reader_pid)" = "$first_reader" ] ||
  fail "the reader was restarted while cmd ran (first $first_reader, now $(reader_pid))" "$work/service.log"
note "beside: one reader all along ($first_reader)"
exec 8>&-
wait_process other 20 || fail "cmd did not end at the end of its input"
all_ended beside "$(now_ms)"

echo "==> stopping the service"
stop_process service TERM
status=$?
[ "$status" -eq 0 ] || fail "the service ended with status $status" "$work/service.log"
finish test-service-idle
