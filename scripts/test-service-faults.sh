#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through wait_until and at_exit
# The installed vek-tune-publish service, as its unit runs it, through the
# faults a desktop sees, in order, with a private Prosody, the contact bob
# (vek-tune-watch) and vek-player in a Wine prefix of its own:
#   1. the server restarts while the player plays;
#   2. the server is down for 20 s, longer than a few reconnect delays;
#   3. the reader under Wine is killed while the player plays;
#   4. the player is killed, then started again;
#   5. wineserver -k while the player plays;
#   6. the publisher is stopped (SIGSTOP) for 10 s while the track changes;
#   7. the player starts and ends twenty times in twenty seconds;
#   8. thirty more such runs: the publisher's memory and descriptors stay
#      flat, and no Wine process is left 30 s after the last;
#   9. a stop while playing (the empty tune, status 0, 5 s at most), then a
#      stop while the server is down (the same, without the tune).
# After each, bob must see the right tune within a bounded time, the empty
# tune only where no track plays, and no storm: his tunes are counted per
# fault, against one publish a second and the server's two copies of the
# last tune at each of his logins. NOTIFY_SOCKET is a socket of the test:
# READY=1, STOPPING=1 and each STATUS= line, one readable line from the main
# process saying what is shown and what the link does. Stop times, first
# tracks and recoveries are printed where they are measured.
#   scripts/test-service-faults.sh [--keep]   (--keep: leave the temporary folder)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
# shellcheck source=tests/xmpp/prosody.sh
source tests/xmpp/prosody.sh
# shellcheck source=tests/lib/service.sh
source tests/lib/service.sh
command -v python3 >/dev/null || skip test-service-faults "python3 is needed for the notification socket"

work=$(mktemp -d "${TMPDIR:-/tmp}/vek-service-faults.XXXXXX")
[ "${1:-}" = --keep ] || at_exit rm -rf "$work"
note() { echo "  $*"; }
began=$(now_ms)

build_preset native-asan "$work/contact-build.log" vek-tune-watch
service_install "$work"
unit=$work/prefix/lib/systemd/user/vek-tune-publish.service
share=$work/prefix/share/vek-ipc

# systemd gives the service no TMPDIR, and Wine finds its server through it.
unset TMPDIR
service_wine_prefix wineprefix-faults
no_reader() { ! wine_processes | grep -q ' vek-ipc-read'; }

{ xmpp_setup && xmpp_add_account alice alice-pass && xmpp_add_account bob bob-pass && xmpp_start; } ||
  die "the private Prosody did not start"
(umask 077 && echo bob-pass >"$work/bob.pass")
service_tune_settings "$work"

read -r -a exec_start <<<"$(unit_value "$unit" ExecStart)"
[ -x "${exec_start[0]}" ] || die "the unit's ExecStart= (${exec_start[*]}) is not a program"
[ "$(unit_value "$unit" Type)" = notify ] || die "the unit is not Type=notify"
notify_socket=$work/notify.sock

# --- the notification socket -------------------------------------------------
# Each line of each datagram as "MS PID LINE", PID the sender's (the unit's
# NotifyAccess=main takes the main process's alone); a line that is not
# readable text (UTF-8, no control characters) as "MS PID BAD ...".
cat >"$work/notify.py" <<'EOF'
import socket, struct, sys, time
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
sock.bind(sys.argv[1])
with open(sys.argv[2], "a", buffering=1) as out:
    while True:
        data, ancillary, _, _ = sock.recvmsg(65536, socket.CMSG_SPACE(12))
        ms = time.time_ns() // 1000000
        pid = 0
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                pid = struct.unpack("iII", payload[:12])[0]
        for line in data.split(b"\n"):
            if not line:
                continue
            try:
                text = line.decode("utf-8")
            except UnicodeDecodeError:
                text = None
            if text is None or any(ord(c) < 0x20 or ord(c) == 0x7F for c in text):
                out.write("%d %d BAD %r\n" % (ms, pid, line))
            else:
                out.write("%d %d %s\n" % (ms, pid, text))
EOF
notify_log=$work/notify.log
: >"$notify_log"
start_process notify python3 "$work/notify.py" "$notify_socket" "$notify_log"
wait_until 10 test -S "$notify_socket" || die "the notification socket was not made"

# The time (ms) of the first notification from MS on that holds TEXT.
notified_after() { awk -v t="$1" -v text="$2" '$1 >= t && index($0, text) { print $1; exit }' "$notify_log"; }
notified() { [ -n "$(notified_after "$@")" ]; }
status_now() { sed -n 's/^[0-9]* [0-9]* STATUS=//p' "$notify_log" | tail -n 1; }
status_is() { [ "$(status_now)" = "$1" ]; }
statuses_from() { awk -v t="$1" '$1 >= t && $3 ~ /^STATUS=/ { sub(/^[0-9]+ [0-9]+ STATUS=/, ""); print }' "$notify_log"; }

# --- the contact ---------------------------------------------------------------
contact_log=$work/contact.out
start_process contact "$root/build/native-asan/bin/vek-tune-watch" --jid bob@localhost --password-file "$work/bob.pass" \
  --server "127.0.0.1:$xmpp_port" --ca-file "$xmpp_ca" --from alice@localhost --timestamps --verbose \
  >"$contact_log" 2>"$work/contact.err"
logins() { grep -cx ready "$work/contact.err"; }
logged_in() { [ "$(logins)" -gt 0 ]; }
wait_until 15 logged_in || die "bob did not log in" "$work/contact.err"
wait_until 15 grep -q 'answered disco#info' "$work/contact.err" || die "the server did not ask bob what he supports"

# Bob's tunes received from MS on, as "MS JSON" lines.
tunes_from() {
  awk -v t="$1" '{ split($1, s, "."); ms = s[1] * 1000 + substr(s[2], 1, 3)
    if (ms >= t) printf "%.0f %s\n", ms, substr($0, length($1) + 2) }' "$contact_log"
}
tune_after() { tunes_from "$1" | awk -v want="$2" 'substr($0, index($0, " ") + 1) == want { print $1; exit }'; }
seen_after() { [ -n "$(tune_after "$@")" ]; }
tune() { printf '{"artist":"%s","length":"%s","title":"%s"}' "$@"; }
empty='{}'

failure_context() {
  echo "--- bob's tunes (last lines)"
  tail -n 15 "$contact_log"
  echo "--- notifications (last lines)"
  tail -n 12 "$notify_log"
  echo "--- the service's standard error (last lines, Wine's included)"
  tail -n 15 "$work/service.log" 2>/dev/null
  echo "---"
}

# --- the service -------------------------------------------------------------
main_pid="" main_pids=()
start_service() {
  local environment=()
  mapfile -t environment < <(service_environment "$unit" "$work/config" "NOTIFY_SOCKET=$notify_socket")
  echo "--- started $(date +%T)" >>"$work/service.log"
  start_process service env -i "${environment[@]}" "${exec_start[@]}" >>"$work/service.log" 2>&1
  main_pid=$!
  main_pids+=("$main_pid")
}
service_gone() { ! running service; }
# Ends the service as systemd does with KillMode=process; sets
# service_status and stop_ms.
stop_service() {
  local started
  started=$(now_ms)
  kill -TERM "$main_pid"
  kill -CONT "$main_pid"
  wait_until 20 service_gone || kill -KILL "$main_pid"
  wait "$main_pid"
  service_status=$?
  stop_ms=$(($(now_ms) - started))
}
reader_pid() {
  local child children
  read -ra children < <(cat /proc/"$main_pid"/task/*/children 2>/dev/null)
  for child in "${children[@]}"; do
    [ "$(cat "/proc/$child/comm" 2>/dev/null)" = vek-ipc-read.ex ] && echo "$child" && return
  done
}
other_reader() {  # pid: a reader runs, and not that one
  local now
  now=$(reader_pid)
  [ -n "$now" ] && [ "$now" != "$1" ]
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$main_pid/status"; }
fd_count() { find "/proc/$main_pid/fd" -mindepth 1 -maxdepth 1 | wc -l; }

# --- the player ----------------------------------------------------------------
playlist() {  # name, then "title artist seconds-to-play" triples: a file of tracks
  local file=$work/$1.playlist
  shift
  : >"$file"
  while [ $# -ge 3 ]; do
    printf 'track\ntitle = %s\nartist = %s\nlength = 600\nplay %s\n' "$1" "$2" "$3" >>"$file"
    shift 3
  done
  echo "$file"
}
player_run=0 launched_ms=0 loaded_ms=0
# Starts the player on a playlist: launched_ms is when it was started,
# loaded_ms when it was seen to have loaded the component (within 0.1 s).
start_player() {  # playlist file
  player_run=$((player_run + 1))
  local log=$work/player.$player_run
  launched_ms=$(now_ms)
  start_process player "$root/cmake/wine-run" "$share/vek-player.exe" --verbose "$1" >"$log.out" 2>"$log.err"
  wait_until 30 grep -q '^loaded' "$log.out" || die "the player did not start" "$log.out"
  loaded_ms=$(now_ms)
}
# Waits up to SECONDS for bob to see TUNE after the player's start: the delay.
first_track() {  # what, seconds, tune
  wait_until "$2" seen_after "$launched_ms" "$3" || { fail "$1: bob did not see $3 within $2 s of the player's start"; return 1; }
  note "$1: first track $(($(tune_after "$launched_ms" "$3") - launched_ms)) ms after the player's start"
}
# Short runs of the player, one after the other, each in a second at least:
# "Cycle N" from FROM to TO.
cycles() {  # from, to
  local i started file
  for ((i = $1; i <= $2; i++)); do
    started=$(now_ms)
    file=$work/cycle.playlist
    printf 'wait 100ms\ntrack\ntitle = Cycle %s\nartist = Cyclist\nlength = 60\nplay 300ms\nstop\nwait 150ms\n' "$i" >"$file"
    start_process player "$root/cmake/wine-run" "$share/vek-player.exe" "$file" >>"$work/cycles.out" 2>>"$work/cycles.err"
    wait_process player 20 || die "cycle $i: the player did not end well" "$work/cycles.out"
    local rest=$((1000 - ($(now_ms) - started)))
    [ "$rest" -le 0 ] || sleep "0.$(printf '%03d' "$rest")"
  done
}

# --- faults ----------------------------------------------------------------------
phase_name="" phase_start=0 phase_logins=0
phase() {
  phase_name=$1
  phase_start=$(now_ms)
  phase_logins=$(logins)
  echo "==> $1"
}
# At most MOST publishes of the publisher's own in the phase (and never more
# than one a second), plus the server's two copies of the last tune at each of
# bob's logins. Optionally, no empty tune in the phase.
phase_end() {  # most [no-empty]
  local lines seconds relogins most=$1 own
  lines=$(tunes_from "$phase_start" | wc -l)
  seconds=$((($(now_ms) - phase_start + 999) / 1000))
  relogins=$(($(logins) - phase_logins))
  [ "$most" -le $((seconds + 1)) ] || most=$((seconds + 1))
  own=$((most + 2 * relogins))
  note "$phase_name: bob saw $lines tunes in ${seconds} s ($relogins logins of his)"
  [ "$lines" -le "$own" ] || fail "$phase_name: a storm of $lines tunes in $seconds s (at most $own expected)"
  if [ "${2:-}" = no-empty ] && tunes_from "$phase_start" | grep -qx '[0-9]* {}'; then
    fail "$phase_name: bob saw the empty tune while the player played"
  fi
  running service || die "$phase_name: the service ended" "$work/service.log"
}
# No empty tune from MS on.
no_empty_from() {  # what, ms
  ! tunes_from "$2" | grep -qx '[0-9]* {}' || fail "$1: bob saw the empty tune while the player played"
}

echo "==> the service starts without a player"
start_service
wait_until 10 notified 0 READY=1 || die "the service did not say READY=1" "$work/service.log"
wait_until 30 status_is "Player not running · Connected as alice@localhost" ||
  die "the service did not show itself connected without a player (status: $(status_now))" "$work/service.log"
sleep 2
no_wine || fail "a Wine process runs without a player: $(wine_processes | tr '\n' ';')"
baseline_fds=$(fd_count)

one=$(tune "Artist One" 600 "Long Song")
start_player "$(playlist one "Long Song" "Artist One" 240s)"
first_track "cold start" 20 "$one"
wait_until 5 status_is "Playing: Artist One – Long Song · Connected as alice@localhost" ||
  fail "the status did not show the track: $(status_now)"
playing_since=$(tune_after "$launched_ms" "$one")

# The server back: the publisher logged in again within SECONDS, and bob
# sees the track again.
server_back() {  # what, seconds, since (ms: before the server's start)
  local back
  back=$(now_ms)
  wait_until "$2" notified "$3" "Connected as alice@localhost" ||
    { fail "$1: the publisher did not log in again within $2 s of the server's return"; return; }
  note "$1: logged in again $(($(notified_after "$3" "Connected as alice@localhost") - back)) ms after the server accepted connections"
  wait_until 15 seen_after "$3" "$one" || fail "$1: bob did not see the track again"
}
reconnecting_beside() {  # the track: a status said so while the server was down
  statuses_from "$phase_start" | grep -q "^Playing: $1 · Reconnecting in [0-9]* s: ." ||
    fail "the status did not say that it was reconnecting, beside the track"
}

phase "1. the server restarts while the player plays"
xmpp_stop
restarted=$(now_ms)
xmpp_restart_same || die "the server did not start again"
server_back "server restart" 30 "$restarted"
reconnecting_beside "Artist One – Long Song"
sleep 2  # the republish comes a second after the login
phase_end 1 no-empty

phase "2. the server is down for 20 s"
xmpp_stop
sleep 20
reconnecting_beside "Artist One – Long Song"
note "waits while down: $(statuses_from "$phase_start" | grep -o 'Reconnecting in [0-9]* s' | cut -d' ' -f3 | tr '\n' ' ')"
restarted=$(now_ms)
xmpp_restart_same || die "the server did not start again"
server_back "server down 20 s" 70 "$restarted"
sleep 2
phase_end 1 no-empty

phase "3. the reader is killed while the player plays"
killed_reader=$(reader_pid)
[ -n "$killed_reader" ] || fail "no reader runs under the service while the player plays"
killed=$(now_ms)
kill -KILL "$killed_reader" 2>/dev/null
wait_until 15 other_reader "$killed_reader" || fail "no new reader within 15 s of the kill" "$work/service.log"
note "reader killed: a new one runs $(($(now_ms) - killed)) ms later"
sleep 3
[ "$(statuses_from "$killed" | grep -c 'Player not running')" -eq 0 ] ||
  fail "the status showed no player while the player played: $(statuses_from "$killed" | tr '\n' ';')"
phase_end 0 no-empty
no_empty_from "the player until now" "$playing_since"

phase "4. the player is killed, then started again"
killed=$(now_ms)
kill -KILL "${scenario_pid[player]}"
{ wait_process player 10; } >/dev/null 2>&1  # without the shell's notice of the kill
wait_until 20 seen_after "$killed" "$empty" || fail "bob did not see the empty tune within 20 s of the player's end"
note "player killed: the empty tune $(($(tune_after "$killed" "$empty") - killed)) ms later"
wait_until 5 status_is "Player not running · Connected as alice@localhost" ||
  fail "the status did not show the player gone: $(status_now)"
two=$(tune "Artist Two" 600 "Second Run")
start_player "$(playlist two "Second Run" "Artist Two" 240s)"
first_track "player started again" 20 "$two"
playing_since=$(tune_after "$launched_ms" "$two")
sleep 2
phase_end 3
no_empty_from "the player started again" "$playing_since"

phase "5. wineserver -k while the player plays"
killed=$(now_ms)
wineserver -k
{ wait_process player 10; } >/dev/null 2>&1
wait_until 20 seen_after "$killed" "$empty" || fail "bob did not see the empty tune within 20 s of wineserver -k"
note "wineserver -k: the empty tune $(($(tune_after "$killed" "$empty") - killed)) ms later"
wait_until 30 no_wine || fail "Wine processes left 30 s after wineserver -k: $(wine_processes | tr '\n' ';')"
note "wineserver -k: no Wine process $(($(now_ms) - killed)) ms later"
status_is "Player not running · Connected as alice@localhost" || fail "the status did not show the player gone: $(status_now)"
phase_end 2

phase "6. the publisher is stopped for 10 s while the track changes"
before=$(tune "Artist Three" 600 "Before")
after=$(tune "Artist Three" 600 "After")
start_player "$(playlist three "Before" "Artist Three" 12s "After" "Artist Three" 240s)"
first_track "after wineserver -k" 10 "$before"
# Stopped from 4 s to 14 s after the player loaded; the track changes at 12 s.
reached() { [ "$(now_ms)" -ge "$1" ]; }
wait_until 10 reached $((loaded_ms + 4000))
kill -STOP "$main_pid"
stopped=$(now_ms)
sleep 10
kill -CONT "$main_pid"
continued=$(now_ms)
grep -q 'dynamic_info title=After' "$work/player.$player_run.out" ||
  fail "the track did not change while the publisher was stopped" "$work/player.$player_run.out"
wait_until 10 seen_after "$continued" "$after" || fail "bob did not see the new track within 10 s of SIGCONT"
note "SIGSTOP 10 s: the new track $(($(tune_after "$continued" "$after") - continued)) ms after SIGCONT"
wait_until 5 status_is "Playing: Artist Three – After · Connected as alice@localhost" ||
  fail "the status did not show the new track: $(status_now)"
sleep 2
lines=$(tunes_from "$stopped" | wc -l)
[ "$lines" -eq 1 ] || fail "after SIGCONT bob saw $lines tunes, not the new track alone: $(tunes_from "$stopped" | tr '\n' ';')"
phase_end 2 no-empty
ended=$(now_ms)
stop_process player INT
wait_until 15 seen_after "$ended" "$empty" || fail "bob did not see the empty tune once the player was interrupted"

phase "7. twenty runs of the player in twenty seconds"
cycles 1 20
ended=$(now_ms)
wait_until 15 status_is "Player not running · Connected as alice@localhost" ||
  fail "the status did not show the player gone after the last run: $(status_now)"
last_is_empty() { [ "$(tunes_from "$phase_start" | tail -n 1 | cut -d' ' -f2-)" = "$empty" ]; }
wait_until 5 last_is_empty ||
  fail "the last tune bob saw after the runs was not the empty one"
seen=$(tunes_from "$phase_start" | grep -o '"title":"Cycle [0-9]*"' | grep -o '[0-9]*')
note "twenty runs in $(((ended - phase_start) / 1000)) s; bob saw the runs $(echo "$seen" | tr '\n' ' ')"
[ -n "$seen" ] || fail "bob saw none of the twenty runs"
[ "$seen" = "$(sort -n -u <<<"$seen")" ] || fail "bob saw the runs out of order or again: $(echo "$seen" | tr '\n' ' ')"
if tunes_from "$phase_start" | cut -d' ' -f2- | grep -vxq -e "$empty" -e '{"artist":"Cyclist","length":"60","title":"Cycle [0-9]*"}'; then
  fail "bob saw a tune that was not one of the runs"
fi
statuses_from "$phase_start" | grep -qx "Stopped · Connected as alice@localhost" || fail "the status never showed the stop"
phase_end 99

phase "8. thirty runs: the publisher's memory and descriptors"
cycles 21 23
rss_before=$(rss_kb) fds_before=$(fd_count)
cycles 24 50
rss_after=$(rss_kb) fds_after=$(fd_count)
ended=$(now_ms)
note "thirty runs: resident $rss_before kB after the third, $rss_after kB after the last; descriptors $fds_before, then $fds_after"
[ "$rss_after" -le $((rss_before + 2048)) ] || fail "the publisher's memory grew by $((rss_after - rss_before)) kB over 27 runs"
[ "$fds_after" -le $((fds_before + 2)) ] || fail "the publisher's descriptors grew from $fds_before to $fds_after over 27 runs"
wait_until 30 no_wine || fail "Wine processes left 30 s after the last run: $(wine_processes | tr '\n' ';')"
note "thirty runs: no Wine process $(($(now_ms) - ended)) ms after the last"
fds_at_most() { [ "$(fd_count)" -le "$1" ]; }
wait_until 5 fds_at_most $((baseline_fds + 2))
note "descriptors without a player: $baseline_fds at the start, $(fd_count) after every fault"
[ "$(fd_count)" -le $((baseline_fds + 2)) ] || fail "the publisher keeps descriptors of the faults" "$work/service.log"
phase_end 99

phase "9. stops"
last=$(tune "Artist Five" 600 "Last Song")
start_player "$(playlist five "Last Song" "Artist Five" 240s)"
first_track "before the stops" 20 "$last"
stop_from=$(now_ms)
stop_service
note "stop while playing: ${stop_ms} ms, status $service_status"
[ "$service_status" -eq 0 ] || fail "the service ended with status $service_status" "$work/service.log"
[ "$stop_ms" -le 5000 ] || fail "the service took $stop_ms ms to stop"
wait_until 5 seen_after "$stop_from" "$empty" || fail "bob did not see the empty tune within 5 s of the service's end"
notified "$stop_from" STOPPING=1 || fail "the service did not say STOPPING=1"
wait_until 5 no_reader || fail "the reader outlived the service by 5 s: $(wine_processes | tr '\n' ';')"
running player || fail "the player did not outlive the service" "$work/player.$player_run.out"

started=$(now_ms)
start_service
wait_until 10 notified "$started" READY=1 || fail "the service started again did not say READY=1"
wait_until 30 seen_after "$started" "$last" || fail "the service started again did not publish the track that plays"
note "service started beside a player: the track $(($(tune_after "$started" "$last") - started)) ms later"
xmpp_stop
down=$(now_ms)
wait_until 10 notified "$down" "Reconnecting in" || fail "the status did not say that it was reconnecting"
stop_from=$(now_ms)
stop_service
note "stop while the server is down: ${stop_ms} ms, status $service_status"
[ "$service_status" -eq 0 ] || fail "the service ended with status $service_status" "$work/service.log"
[ "$stop_ms" -le 5000 ] || fail "the service took $stop_ms ms to stop"
notified "$stop_from" STOPPING=1 || fail "the service did not say STOPPING=1"
wait_until 5 no_reader || fail "the reader outlived the service by 5 s: $(wine_processes | tr '\n' ';')"
stop_process player INT

echo "==> the notifications"
others=$(awk -v pids=" ${main_pids[*]} " 'index(pids, " " $2 " ") == 0' "$notify_log")
[ -z "$others" ] || fail "notifications from another process than the main one (systemd drops them):
$(head -n 3 <<<"$others")"
link="(Connected as alice@localhost|Connecting to 127\.0\.0\.1:$xmpp_port as alice@localhost|Reconnecting in [0-9]+ s(: .+)?)"
# "No state yet": the reader has not said anything yet.
shown="(No state yet|Player not running|Nothing played yet|Stopped|Playing: [^·]+ – [^·]+)"
bad=$(grep -Ev "^[0-9]+ [0-9]+ (READY=1|STOPPING=1|STATUS=$shown · $link)\$" "$notify_log")
[ -z "$bad" ] || fail "notifications (time, sender) that are not READY=1, STOPPING=1 or a status line of what is shown and what the link does:
$bad"
[ "$(grep -c ' READY=1$' "$notify_log")" -eq 2 ] || fail "READY=1 was not said once per start"
[ "$(grep -c ' STOPPING=1$' "$notify_log")" -eq 2 ] || fail "STOPPING=1 was not said once per stop"
note "$(grep -c ' STATUS=' "$notify_log") status lines, e.g. \"$(grep -m 1 ' STATUS=.*Reconnecting' "$notify_log" | cut -d' ' -f3-)\""

note "runtime $((($(now_ms) - began) / 1000)) s"
finish test-service-faults
