#!/bin/bash
# vek-mpris seen by a client that reads the players once when it starts, then
# subscribes to a player only when its name appears and reads it only when it
# signals (tune_listener.py, as a chat client shares what you listen to): the
# first track after each appearance reaches it, a stop and the player's
# absence clear it, a track with only a title is shared as it is.
# usage: listener_test.sh VEK-MPRIS PYTHON3 (Debian's, with python3-gi)
# shellcheck disable=SC2317 # functions called through wait_until
set -u
here=$(dirname "$0")
# shellcheck source=tests/lib/scenario.sh
source "$here/../lib/scenario.sh"
# shellcheck source=tests/mpris/private_bus.sh
source "$here/private_bus.sh"
mpris=$1
python=$2
work=$(mktemp -d)
at_exit rm -rf "$work"
mpris_bus "$work"

start_process listener "$python" "$here/tune_listener.py" >"$work/tunes" 2>"$work/listener.err"
wait_until 10 grep -qx listening "$work/tunes" || die "the listener did not start" "$work/listener.err"

# What the listener published, one tune a line: the same tune twice in a row
# counts once (a listener that subscribes quickly also gets the signal sent
# with the name, then the repeat).
published() { tail -n +2 "$work/tunes" | uniq; }
# The count of tunes published, and the last, are these.
published_now() { [ "$(published | grep -c '')" -eq "$1" ] && [ "$(published | tail -n 1)" = "$2" ]; }
count=0
# expect_tune TUNE WHAT: after WHAT, the listener publishes TUNE next.
expect_tune() {
  count=$((count + 1))
  wait_until 10 published_now "$count" "$1" || fail "$2: the listener did not publish $1 next" "$work/tunes"
  count=$(published | grep -c '')
}

full='{"state":"playing","fields":[["title","Army of Me"],["artist","Bj\u00f6rk"],["album","Post"],["genre","Pop"]],"length":234}'
full_tune='{"artist": "Björk", "title": "Army of Me", "source": "Post"}'
title_only='{"state":"playing","fields":[["title","Only a title"]],"length":0}'
title_tune='{"title": "Only a title"}'
other='{"state":"playing","fields":[["artist","Kino"],["title","Gruppa krovi"]],"length":285}'
other_tune='{"artist": "Kino", "title": "Gruppa krovi"}'

mpris_start mpris
send "$full"
expect_tune "$full_tune" "the first appearance, playing"
send '{"state":"stopped"}'
expect_tune '{}' "stopped"
send "$title_only"
expect_tune "$title_tune" "a track with only a title"
send '{"state":"absent"}'
expect_tune '{}' "absent"
send "$other"
expect_tune "$other_tune" "the second appearance, playing"
send '{"state":"absent"}'
expect_tune '{}' "absent again"
send "$title_only"
expect_tune "$title_tune" "the third appearance, playing a track with only a title"
exec 7>&-
wait_process mpris 10
status=$?
[ "$status" -eq 0 ] || fail "vek-mpris ended with status $status at the end of input" "$work/mpris.err"
expect_tune '{}' "the end of input"

finish listener_test
