#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through wait_until
# vek-player, vek-ipc-read and the module unpacked from the shipped package, as
# separate processes under Wine. Each step needs the one before: the first
# failure ends the test.
# Arguments: <Wine runner> <vek-player.exe> <vek-ipc-read.exe> <package> <cmake>
set -u
runner=$1 player=$2 reader=$3 package=$4 cmake=$5
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lib/scenario.sh
source "$here/../lib/scenario.sh"
work=$(mktemp -d)
at_exit rm -rf "$work"
cd "$work" || die "cannot enter $work"

# Whether the last line of file $1 matches $2 (Windows line ends dropped).
last_line_matches() { tr -d '\r' <"$1" | tail -n 1 | grep -q "$2"; }
# The lines a program wrote to standard error itself (file $2), without
# Wine's own, which vary with the Wine and the desktop it runs on.
own_lines() { tr -d '\r' <"$2" | grep "^$1: "; }
# Runs vek-player with the arguments after $1, which is the exit status
# expected: its output in said_lines, its complaints in complaints.
expect() {
  local want=$1
  shift
  "$runner" "$player" "$@" >said 2>said.err
  status=$?
  tr -d '\r' <said >said_lines
  own_lines vek-player said.err >complaints
  [ $status -eq "$want" ] || die "vek-player $* ended with $status, not $want" said_lines said.err
}
# Whether vek-player said nothing but the one complaint $1.
refused_with() { [ ! -s said_lines ] && [ "$(cat complaints)" = "$1" ]; }

[ "$("$cmake" -E tar tf "$package")" = foo_vek_ipc.dll ] || die "the package must hold the module alone at its root"
"$cmake" -E tar xf "$package" || die "cannot unpack $package"

# A watching reader sees every state the session publishes, in order, from the
# window's appearance to its removal at quit. Each step lasts 1 s: until the
# window appears, the reader looks for it every 0.5 s. A first Wine start is
# slow.
: >watched
start_process watcher "$runner" "$reader" --watch >watched 2>watched.err
wait_until 60 last_line_matches watched absent ||
  die "the reader did not start, or another IPC window exists" watched watched.err
expect 0 --verbose --step-ms 1000 --component "$work/foo_vek_ipc.dll" "$here/session.playlist"
wait_until 60 last_line_matches watched absent || die "the window stayed" watched
stop_process watcher INT
cat >expected <<'EOF'
{"state":"absent"}
{"state":"none"}
{"state":"playing","fields":[["title","Hopp\u00edpolla"],["artist","Sigur R\u00f3s"]],"length":268}
{"state":"playing","fields":[["title","Army of Me: Single Mix; 1995"]],"length":234}
{"state":"playing","fields":[["title","Radio"]],"length":0}
{"state":"playing","fields":[["title","Kino"],["artist","A"]],"length":0}
{"state":"stopped"}
{"state":"playing","fields":[["title","After the stop"]],"length":62}
{"state":"stopped"}
{"state":"absent"}
EOF
tr -d '\r' <watched | diff expected - || die "the reader saw another sequence"
if own_lines vek-ipc-read watched.err; then die "the reader complained"; fi

# The player's account: the unpacked module, and only the events of its mask.
head -n 1 said_lines | grep -qF "\\$(basename "$work")\\foo_vek_ipc.dll, client interface 76" ||
  die "the module was not loaded from the unpacked package" said_lines
cat >expected <<'EOF'
[player] service {10BB3EBD-DDF7-4975-A3CC-23084829453E}
[player] service {113773C4-B387-4B48-8BDF-AB58BC6CE538}
loaded VEK IPC 0.3.0 (foo_vek_ipc.dll)
[player] about: IPC plugin for XMPP PEP Events publisher @ ZEB IM
[console] VEK IPC Plugin Initialized
[player] handler registered for events 0xD6: new_track, playback_stopped, pause_changed, dynamic_info, dynamic_info_track
[event] line 3: new_track
[event] line 3: dynamic_info title=Hoppípolla; artist=Sigur Rós|Jónsi; length 268.4 s
[event] line 9: new_track
[event] line 9: dynamic_info title=Army of Me: Single Mix; 1995; length 234 s
[event] line 13: pause_changed paused
[event] line 16: pause_changed resumed
[event] line 18: new_track
[event] line 18: dynamic_info title=Radio; length 0 s
[event] line 21: dynamic_info title=Kino; artist=A|B; length 0 s
[event] line 21: dynamic_info_track title=Kino; artist=A|B; length 0 s
[event] line 25: playback_stopped user
[event] line 27: new_track
[event] line 27: dynamic_info title=After the stop; length 61.6 s
[event] line 31: playback_stopped user
EOF
tail -n +2 said_lines | diff expected - || die "the player told another story"
[ ! -s complaints ] || die "the player complained" complaints

# A --text reader writing into a pipe: the UTF-8 lines for people, in order,
# with Icelandic, Japanese and Cyrillic tags; Ctrl+C then ends it with status 0.
cat >text.playlist <<'EOF'
wait 1s
track
title = Hoppípolla
artist = Sigur Rós
length = 268.4
play 1s
track
title = 夜に駆ける
artist = YOASOBI
length = 3725
play 1s
track
title = Радио Маяк
play 1s
update artist = Кино
update title = Группа крови
play 1s
track
album = Takk...
play 1s
stop
wait 1s
EOF
mkfifo text.pipe || die "cannot make a pipe"
: >watched
start_process copier cat text.pipe >watched
start_process text-reader "$runner" "$reader" --watch --text >text.pipe 2>text.err
wait_until 60 last_line_matches watched 'player not running' || die "the text reader did not start" watched text.err
expect 0 --step-ms 1000 --component "$work/foo_vek_ipc.dll" text.playlist
wait_until 60 last_line_matches watched 'player not running' || die "the window stayed" watched
stop_process text-reader INT
status=$?
wait_process copier 10 || die "the pipe's reader did not see its end" watched
rm text.pipe  # the heap check below reads every file here
cat >expected <<'EOF'
player not running
nothing played yet
▶ Sigur Rós — Hoppípolla (4:28)
▶ YOASOBI — 夜に駆ける (1:02:05)
▶ Радио Маяк
▶ Кино — Группа крови
▶ Takk...
■ stopped
player not running
EOF
tr -d '\r' <watched | diff expected - || die "the text reader printed other lines" watched
if own_lines vek-ipc-read text.err; then die "the text reader complained"; fi
[ $status -eq 0 ] || die "Ctrl+C ended the text reader with $status" watched

# A faulty playlist is refused before anything is loaded; so is a faulty command line.
printf 'track\npause\ntrack\n' >bad.playlist
expect 2 bad.playlist
refused_with 'vek-player: bad.playlist:3: playback is paused: `resume` or `stop` before the next track' ||
  die "a faulty playlist was not refused alone" said_lines said.err
expect 2 --pace 2 --step-ms 5 "$here/session.playlist"
expect 1 --component no_such.dll "$here/session.playlist"
grep -q '^vek-player: cannot load .*no_such\.dll: [A-Z].*[^0-9]$' complaints || die "no reason the module failed" said.err
expect 2 no_such.playlist
refused_with 'vek-player: cannot read no_such.playlist: No such file or directory' || die "no reason" said_lines said.err
expect 2 .
[ "$(head -n 1 complaints)" = 'vek-player: cannot read .: Is a directory' ] || die "a directory is not named" said.err
expect 0 --step-ms 0 "$here/../../programs/player/sample.playlist"

# Ctrl+C (Wine turns SIGINT into it) while playing: stop, quit, unload, status 0.
printf 'track\ntitle = Long\nplay 60s\n' >long.playlist
: >said
start_process player "$runner" "$player" --verbose long.playlist >said 2>said.err
wait_until 60 last_line_matches said dynamic_info || die "playback did not start" said said.err
stop_process player INT
status=$?
{ [ $status -eq 0 ] && last_line_matches said '^\[event\] line 3: playback_stopped user$' &&
  [ "$(own_lines vek-player said.err)" = 'vek-player: interrupted' ]; } || die "the interrupt ended with $status" said said.err

# Under the test preset Wine validates the heap and reports errors on standard error.
heap=$(grep -h -E '[0-9a-f]{4}:(err|warn):heap' ./* 2>/dev/null)
[ -z "$heap" ] || die "Wine reported heap errors:
$heap"
finish "player and readers under Wine"
