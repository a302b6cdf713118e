#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through wait_until and at_exit
# Stopping the vek-tune-publish user service must not end a player that runs
# in the same Wine prefix. The service starts the reader only once a Wine
# program of the prefix runs, but often before that program is ready: Wine's
# own helper processes (services.exe, explorer.exe...) then start as the
# reader's children and live in the service's control group while they serve
# the player. The unit's KillMode=process keeps them from being killed with
# the service.
#
# Without systemd here, its handling of the unit is followed from the
# installed unit file: ExecStart= runs in a control group of its own (cgroup
# v2), with the environment of Environment= and EnvironmentFile=; stopping
# sends SIGTERM and SIGCONT to the main process alone (KillMode=process),
# waits up to TimeoutStopSec= for it, then kills it.
#
# Each order is checked: the service first, then the player; the player
# first, then the service. Before the player, the service's group must hold
# no Wine process; the player must play to its end with status 0, the service
# must end with status 0, and once the player has ended, nothing may be left
# in the service's group. VEK_TRACE_STOP=1 prints the service's group each
# second while it stops.
#   scripts/test-service-stop.sh [--keep]   (--keep: leave the temporary folder)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
# shellcheck source=tests/xmpp/prosody.sh
source tests/xmpp/prosody.sh
# shellcheck source=tests/lib/service.sh
source tests/lib/service.sh

cgroup_root=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
if [ -z "$cgroup_root" ] || ! mkdir "$cgroup_root/vek-probe.$$" 2>/dev/null; then
  skip test-service-stop "no writable cgroup v2 hierarchy to run the service in"
fi
rmdir "$cgroup_root/vek-probe.$$"

work=$(mktemp -d "${TMPDIR:-/tmp}/vek-service-stop.XXXXXX")
[ "${1:-}" = --keep ] || at_exit rm -rf "$work"
note() { echo "  $*"; }

remove_groups() {
  local group
  for group in "$cgroup_root"/vek-service.*."$$"; do
    [ -d "$group" ] || continue
    echo 1 >"$group/cgroup.kill" 2>/dev/null
    wait_until 5 group_empty "$group"
    rmdir "$group" 2>/dev/null
  done
}
at_exit remove_groups

service_install "$work"
unit=$work/prefix/lib/systemd/user/vek-tune-publish.service
service_wine_prefix wineprefix-service

{ xmpp_setup && xmpp_add_account alice alice-pass && xmpp_start; } || die "the private Prosody did not start"
service_tune_settings "$work"

exec_start=$(unit_value "$unit" ExecStart)
timeout_stop=$(unit_value "$unit" TimeoutStopSec)
timeout_stop=${timeout_stop:-90}
[ "$(unit_value "$unit" KillMode)" = process ] ||
  die "the unit's KillMode= is not process: systemd's default, control-group, would end the player"
read -r -a exec_start <<<"$exec_start"
[ -x "${exec_start[0]}" ] || die "the unit's ExecStart= (${exec_start[*]}) is not a program"

group="" main_pid=""
start_service() {  # name
  group=$cgroup_root/vek-service.$1.$$
  mkdir "$group"
  local environment=()
  mapfile -t environment < <(service_environment "$unit" "$work/config")
  # Joins the group, then becomes the unit's program: its id is the main process's.
  start_process service bash -c 'echo $$ >"$1/cgroup.procs" && shift && exec "$@"' - "$group" \
    env -i "${environment[@]}" "${exec_start[@]}" >"$work/$1.service.log" 2>&1
  main_pid=$!
}

group_pids() { cat "$group/cgroup.procs" 2>/dev/null; }
group_names() {
  local pid
  for pid in $(group_pids); do cat "/proc/$pid/comm" 2>/dev/null; done | sort | tr '\n' ' '
}
group_holds() { group_names | grep -qE -- "(^| )$1"; }
group_empty() { ! grep -q 'populated 1' "${1:-$group}/cgroup.events" 2>/dev/null; }

service_gone() { ! running service; }

# Ends the service as systemd does with KillMode=process; sets
# service_status (the main process's status) and stop_seconds.
stop_service() {
  local started=$SECONDS
  [ -z "${VEK_TRACE_STOP:-}" ] || start_process trace trace_group "$started"
  kill -TERM "$main_pid"
  kill -CONT "$main_pid"
  wait_until "$timeout_stop" service_gone || kill -KILL "$main_pid"
  wait "$main_pid"
  service_status=$?
  stop_seconds=$((SECONDS - started))
  [ -z "${VEK_TRACE_STOP:-}" ] || stop_process trace
}
trace_group() {  # started: the group once a second, a sample over time
  for _ in $(seq 15); do echo "    $((SECONDS - $1))s: $(group_names)"; sleep 1; done
}

cat >"$work/long.playlist" <<'EOF'
wait 300ms
track
title = A long song
artist = Somebody
length = 600
play 8s
stop
wait 300ms
EOF
start_player() {  # name
  : >"$work/$1.player.log"
  start_process player "$root/cmake/wine-run" "$work/prefix/share/vek-ipc/vek-player.exe" --verbose "$work/long.playlist" \
    >"$work/$1.player.log" 2>&1
  wait_until 30 grep -q '^loaded' "$work/$1.player.log" || fail "$1: the player did not start" "$work/$1.player.log"
}

# name, order (service-first | player-first)
scenario() {
  local name=$1 order=$2
  echo "==> $name: $order"
  wineserver -w
  if [ "$order" = service-first ]; then
    start_service "$name"
    # comm is cut to 15 characters.
    wait_until 30 group_holds vek-tune-publis || fail "$name: the service did not start" "$work/$name.service.log"
    sleep 2
    [ "$(group_pids | wc -l)" -eq 1 ] || fail "$name: the service runs more than itself before the player: $(group_names)"
    start_player "$name"
  else
    start_player "$name"
    start_service "$name"
  fi
  wait_until 30 group_holds vek-ipc-read || fail "$name: the reader did not start" "$work/$name.service.log"
  wait_until 30 grep -q dynamic_info "$work/$name.player.log" || fail "$name: the player did not play" "$work/$name.player.log"
  note "in the service's group: $(group_names)"
  stop_service
  note "service stopped in ${stop_seconds}s with status $service_status; left in its group: $(group_names)"
  # The playlist lasts 8 s from the player's start.
  local player_status
  wait_process player 20
  player_status=$?
  if [ "$player_status" -ne 124 ]; then
    note "player ended with status $player_status: $(grep -v '^\[' "$work/$name.player.log" | tr '\n' ' ' | cut -c1-160)"
  else
    stop_process player KILL
    player_status=hung
    note "player hung: still running 20 s after its start with nothing left to play"
  fi
  [ "$service_status" -eq 0 ] || fail "$name: the service ended with status $service_status: $(cat "$work/$name.service.log")"
  # Longer, and systemd would end the wait with SIGKILL to the main process alone, leaving the publisher behind.
  [ "$stop_seconds" -le 5 ] || fail "$name: the service took ${stop_seconds}s to stop"
  [ "$player_status" = 0 ] || fail "$name: the player did not survive the service's stop (status $player_status)"
  # Wine's processes end by themselves once nothing in the prefix uses them.
  wait_until 20 group_empty || fail "$name: left in the service's group after the player ended: $(group_names)"
  echo 1 >"$group/cgroup.kill" 2>/dev/null
  wait_until 5 group_empty
  rmdir "$group"
}

scenario service-first service-first
scenario player-first player-first

finish test-service-stop
