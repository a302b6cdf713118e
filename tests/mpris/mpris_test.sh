#!/bin/bash
# vek-mpris against a private session bus, seen by two independent clients:
# playerctl and busctl (exact property types), with dbus-monitor counting
# the PropertiesChanged and NameOwnerChanged signals.
# usage: mpris_test.sh VEK-MPRIS
# shellcheck disable=SC2317 # functions called through wait_until
set -u
here=$(dirname "$0")
# shellcheck source=tests/lib/scenario.sh
source "$here/../lib/scenario.sh"
# shellcheck source=tests/mpris/private_bus.sh
source "$here/private_bus.sh"
mpris=$1
work=$(mktemp -d)
at_exit rm -rf "$work"
mpris_bus "$work"
name=org.mpris.MediaPlayer2.vek_ipc
object=/org/mpris/MediaPlayer2
player=org.mpris.MediaPlayer2.Player

bus() { busctl --address="$DBUS_SESSION_BUS_ADDRESS" "$@"; }
# expect_property BUSNAME INTERFACE PROPERTY JSON: busctl's typed value, as JSON.
expect_property() {
  local got
  got=$(bus --json=short get-property "$1" "$object" "$2" "$3" 2>&1)
  python3 -c 'import json, sys; sys.exit(json.loads(sys.argv[1]) != json.loads(sys.argv[2]))' "$got" "$4" 2>/dev/null ||
    fail "$3 of $1 is $got, not $4"
}
owned() { bus list --acquired 2>/dev/null | grep -q "^$1 "; }
not_owned() { ! owned "$1"; }
# Whether the process PID has a connection to the bus, asked of the bus
# (busctl list leaves its PID column empty in a chroot).
connected() {
  local unique
  for unique in $(bus list --unique --no-legend 2>/dev/null | cut -d ' ' -f 1); do
    [ "$(bus call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus GetConnectionUnixProcessID s \
      "$unique" 2>/dev/null)" != "u $1" ] || return 0
  done
  return 1
}
status_is() { [ "$(playerctl -p vek_ipc status 2>/dev/null)" = "$1" ]; }
title_is() { [ "$(playerctl -p "${2:-vek_ipc}" metadata title 2>/dev/null)" = "$1" ]; }

start_process monitor dbus-monitor "type='signal',member='NameOwnerChanged',arg0='$name'" \
  "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path='$object'" \
  >"$work/monitor" 2>&1
wait_until 10 grep -q NameLost "$work/monitor" || fail "dbus-monitor did not become a monitor" "$work/monitor"
start_process follow playerctl -p vek_ipc --follow metadata --format '{{artist}} - {{title}}' >"$work/follow" 2>&1
wait_until 10 connected "${scenario_pid[follow]}" || fail "playerctl --follow did not connect to the bus"

# The reader's lines go through a fifo that this script alone holds open.
mpris_start mpris --verbose

track1='{"state":"playing","fields":[["Title","Army of Me"],["artist","Bj\u00f6rk"],["ARTIST","Skunk Anansie"],["title","second title ignored"],["album artist","Various"],["genre","Electronic"],["genre","Alternative rock"],["tracknumber","3/12"],["discnumber","two"],["uri","file:///m/army.flac"],["comment","a\u0000b"],["album",""]],"length":234}'
# Emoji, right-to-left text, a length of 0 (a stream): no mpris:length.
track2='{"state":"playing","fields":[["title","\u05e9\u05d9\u05e8 \ud83c\udfb5 \u0623\u063a\u0646\u064a\u0629"],["artist","\u05dc\u05d4\u05e7\u05d4"],["composer","\u041a\u0438\u043d\u043e"],["tracknumber","7"],["discnumber","1/2"]],"length":0}'

# Metadata while no track plays: the track id that says so, alone.
no_track='{"type":"a{sv}","data":{"mpris:trackid":{"type":"o","data":"/org/mpris/MediaPlayer2/TrackList/NoTrack"}}}'

wait_until 10 connected "${scenario_pid[mpris]}" || die "vek-mpris did not connect to the bus" "$work/mpris.err"
not_owned "$name" || fail "the name is owned before the first line"

send '{"state":"none"}'
wait_until 10 owned "$name" || fail "the name is not taken when the player runs"
wait_until 10 status_is Stopped || fail "nothing played yet is not Stopped"
expect_property "$name" $player Metadata "$no_track"
expect_property "$name" $player CanPlay '{"type":"b","data":false}'
expect_property "$name" org.mpris.MediaPlayer2 Identity '{"type":"s","data":"VEK IPC"}'
expect_property "$name" org.mpris.MediaPlayer2 SupportedUriSchemes '{"type":"as","data":[]}'
expect_property "$name" org.mpris.MediaPlayer2 HasTrackList '{"type":"b","data":false}'
# The state signalled again 7 times within a second of taking the name (the
# only PropertiesChanged so far: "none" at the start changes nothing).
repeats=7
signalled_at_least() { [ "$(grep -c 'member=PropertiesChanged' "$work/monitor")" -ge "$1" ]; }
wait_until 10 signalled_at_least $repeats || fail "the state was not signalled again after taking the name"

# The first track's Metadata, exactly typed, with its track id's number:
# the first tag of a name counts (the second artist, title and genre do not),
# an empty album is left out, a NUL in a tag becomes U+FFFD.
expect_track1_metadata() {
  expect_property "$name" $player Metadata '{"type":"a{sv}","data":{
  "mpris:trackid":{"type":"o","data":"/org/vek_ipc/track/'"$1"'"},
  "mpris:length":{"type":"x","data":234000000},
  "xesam:title":{"type":"s","data":"Army of Me"},
  "xesam:artist":{"type":"as","data":["Björk"]},
  "xesam:albumArtist":{"type":"as","data":["Various"]},
  "xesam:genre":{"type":"as","data":["Electronic"]},
  "xesam:comment":{"type":"as","data":["a\ufffdb"]},
  "xesam:trackNumber":{"type":"i","data":3},
  "xesam:url":{"type":"s","data":"file:///m/army.flac"}}}'
}

send "$track1" "$track1"
wait_until 10 status_is Playing || fail "a track is not Playing"
expect_track1_metadata 1
expect_property "$name" $player CanPlay '{"type":"b","data":true}'
expect_property "$name" $player Position '{"type":"x","data":0}'
expect_property "$name" $player Volume '{"type":"d","data":1.0}'
expect_property "$name" $player CanControl '{"type":"b","data":false}'
[ "$(playerctl -p vek_ipc metadata --format '{{artist}} - {{title}}')" = "Björk - Army of Me" ] ||
  fail "playerctl reads the artists and title as '$(playerctl -p vek_ipc metadata --format '{{artist}} - {{title}}')'"
[ "$(playerctl -p vek_ipc metadata mpris:length)" = 234000000 ] || fail "playerctl reads the wrong length"
# Controls do nothing, without an error; setting the volume is refused.
bus call "$name" $object $player Pause || fail "Pause returned an error"
bus call "$name" $object $player Seek x 5000000 || fail "Seek returned an error"
status_is Playing || fail "Pause changed the status"
bus set-property "$name" $object $player Volume d 0.5 2>/dev/null && fail "setting the volume was accepted"

send '{oops' "$track2"
wait_until 10 title_is "שיר 🎵 أغنية" || fail "the right-to-left title with an emoji did not arrive"
expect_property "$name" $player Metadata '{"type":"a{sv}","data":{
  "mpris:trackid":{"type":"o","data":"/org/vek_ipc/track/2"},
  "xesam:title":{"type":"s","data":"שיר 🎵 أغنية"},
  "xesam:artist":{"type":"as","data":["להקה"]},
  "xesam:composer":{"type":"as","data":["Кино"]},
  "xesam:trackNumber":{"type":"i","data":7},
  "xesam:discNumber":{"type":"i","data":1}}}'
grep -qx 'vek-mpris: line 4: malformed input (not JSON); skipped' "$work/mpris.err" ||
  fail "the malformed line was not reported: $(cat "$work/mpris.err")"

send '{"state":"stopped"}'
wait_until 10 status_is Stopped || fail "stopped is not Stopped"
expect_property "$name" $player Metadata "$no_track"
expect_property "$name" $player CanPlay '{"type":"b","data":false}'

send '{"state":"absent"}'
wait_until 10 not_owned "$name" || fail "the name is kept while the player is absent"
send "$track1"
wait_until 10 title_is "Army of Me" || fail "the name is not taken again when the player comes back"
expect_track1_metadata 3
# Again after taking it again: the repeats, 4 changes, the repeats.
wait_until 10 signalled_at_least $((4 + 2 * repeats)) ||
  fail "the state was not signalled again after taking the name again"

# End of input: the name is released, status 0.
exec 7>&-
wait_process mpris 10
status=$?
[ $status -eq 0 ] || fail "vek-mpris ended with status $status at the end of input" "$work/mpris.err"
not_owned "$name" || fail "the name is kept after the end of input"

# Signals: one PropertiesChanged per change (none for the repeated line, the
# malformed one, "none" at the start or "absent" after "stopped"), and the
# repeats after each of the two times the name was taken: 4 + 2 * 7, each
# with all three properties; the name taken, released, taken and released.
# The bus passes on its own NameOwnerChanged for the last release after all
# that vek-mpris sent before it.
owner_changes_at_least() { [ "$(grep -c 'member=NameOwnerChanged' "$work/monitor")" -ge "$1" ]; }
wait_until 10 owner_changes_at_least 4 || fail "the monitor did not see the name released at the end"
python3 - "$work/monitor" $((4 + 2 * repeats)) <<'PY' || fail "the signals seen on the bus are not the expected ones" "$work/monitor"
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
signals = re.split(r"\n(?=signal )", text)
changed = [s for s in signals if "member=PropertiesChanged" in s]
owners = [re.findall(r'string "([^"]*)"', s)[1:] for s in signals if "member=NameOwnerChanged" in s]
ok = len(changed) == int(sys.argv[2]) and all(all(f'string "{p}"' in s for p in ("PlaybackStatus", "Metadata", "CanPlay")) for s in changed)
ok = ok and [bool(old) for old, new in owners] == [False, True, False, True]
ok = ok and [bool(new) for old, new in owners] == [True, False, True, False]
if not ok:
    print(f"{len(changed)} PropertiesChanged, owners {owners}")
sys.exit(0 if ok else 1)
PY
# playerctl --follow printed each track as it came, and an empty line when it stopped.
expected_follow=$'Björk - Army of Me\nלהקה - שיר 🎵 أغنية\n\nBjörk - Army of Me'
followed_at_least() { [ "$(grep -c . "$work/follow")" -ge "$1" ]; }
wait_until 10 followed_at_least 3
[ "$(grep -v '^$' "$work/follow" | head -n 3)" = "$(grep -v '^$' <<<"$expected_follow")" ] ||
  fail "playerctl --follow printed otherwise" "$work/follow"
[ "$(grep -c '' "$work/mpris.err")" -eq 7 ] ||
  fail "--verbose did not write one line per change (and the malformed line)" "$work/mpris.err"

# --name and --identity; a second program asking for a name already owned
# fails clearly; 200 lines at once end on the last; SIGTERM releases the name.
mpris_start second --name second-1 --identity 'Test Player'
send '{"state":"none"}'
wait_until 10 owned org.mpris.MediaPlayer2.second-1 || fail "--name: org.mpris.MediaPlayer2.second-1 not owned"
expect_property org.mpris.MediaPlayer2.second-1 org.mpris.MediaPlayer2 Identity '{"type":"s","data":"Test Player"}'
echo '{"state":"stopped"}' | timeout 10 "$mpris" --name second-1 2>"$work/stderr3"
status=$?
{ [ $status -eq 1 ] && grep -q "cannot own org.mpris.MediaPlayer2.second-1: another program owns it" "$work/stderr3"; } ||
  fail "a name owned by another program: status $status" "$work/stderr3"
started=$(now_ms)
for i in $(seq 1 199); do
  printf '{"state":"playing","fields":[["title","Song %d"]],"length":%d}\n' "$i" "$i"
done >"$work/burst"
echo '{"state":"playing","fields":[["title","The last"]],"length":9}' >>"$work/burst"
cat "$work/burst" >&7
wait_until 10 title_is "The last" second-1 || fail "200 lines: the last state was not shown"
elapsed_ms=$(($(now_ms) - started))
[ $elapsed_ms -lt 5000 ] || fail "200 lines took $elapsed_ms ms"
echo "200 lines consumed and shown in $elapsed_ms ms"
expect_property org.mpris.MediaPlayer2.second-1 $player Metadata '{"type":"a{sv}","data":{
  "mpris:trackid":{"type":"o","data":"/org/vek_ipc/track/200"},
  "mpris:length":{"type":"x","data":9000000},
  "xesam:title":{"type":"s","data":"The last"}}}'
stop_process second TERM
status=$?
[ $status -eq 0 ] || fail "vek-mpris ended with status $status on SIGTERM" "$work/second.err"
not_owned org.mpris.MediaPlayer2.second-1 || fail "the name is kept after SIGTERM"
[ ! -s "$work/second.err" ] || fail "unexpected messages" "$work/second.err"
exec 7>&-

# No session bus: one line that names it, status 1.
DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" timeout 10 "$mpris" </dev/null 2>"$work/stderr4"
status=$?
{ [ $status -eq 1 ] && [ "$(grep -c '' "$work/stderr4")" -eq 1 ] &&
  grep -q "^vek-mpris: cannot connect to the session bus (DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus): " \
    "$work/stderr4"; } || fail "without a bus: status $status" "$work/stderr4"
timeout 10 "$mpris" --name 'no.dots' </dev/null 2>/dev/null
[ $? -eq 2 ] || fail "--name no.dots is not a usage error"

finish mpris_test
