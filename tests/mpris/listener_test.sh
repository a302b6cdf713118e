#!/bin/bash
# vek-mpris seen by a client that reads the players once when it starts, then
# subscribes to a player only when its name appears and reads it only when it
# signals (tune_listener.py, as a chat client shares what you listen to): the
# first track after each appearance reaches it, and soon (within 100 ms for
# 90% of 20 appearances, on the listener's own clock); a stop and the
# player's absence clear it; a track with only a title is shared as it is.
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

start_process listener "$python" "$here/tune_listener.py" "$work/delays" >"$work/tunes" 2>"$work/listener.err"
wait_until 10 grep -qx listening "$work/tunes" || die "the listener did not start" "$work/listener.err"

# What the listener published, one tune a line: the same tune twice in a row
# counts once (a listener gets the repeats that follow the name's appearance,
# and may get the signal sent with it).
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
# Appearing again and again, playing at once: every other time a track with
# only a title.
appearances=20
for ((i = 2; i <= appearances; i++)); do
  send '{"state":"absent"}'
  expect_tune '{}' "absent before appearance $i"
  if ((i % 2)); then
    send "$title_only"
    expect_tune "$title_tune" "appearance $i, playing a track with only a title"
  else
    send "$other"
    expect_tune "$other_tune" "appearance $i, playing"
  fi
done
exec 7>&-
wait_process mpris 10
status=$?
[ "$status" -eq 0 ] || fail "vek-mpris ended with status $status at the end of input" "$work/mpris.err"
expect_tune '{}' "the end of input"

# How late the first track came after each appearance. Measured from the
# NameOwnerChanged the listener saw, so that the time vek-mpris and the bus
# took to get there, which a loaded machine stretches, counts for nothing;
# the 90th percentile (the 18th of 20) leaves two stalls of the listener
# itself out, while no signal soon after its subscription makes most
# appearances late.
[ "$(grep -c '' "$work/delays")" -eq $appearances ] ||
  fail "the listener timed $(grep -c '' "$work/delays") first tracks, not $appearances" "$work/delays"
# Nearest rank: the ceil(N/2)-th and ceil(9N/10)-th of N.
read -r median p90 < <(sort -n "$work/delays" |
  awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[int((9 * NR + 9) / 10)] }')
echo "the first track after an appearance: median $median ms, p90 $p90 ms over $appearances appearances"
awk -v p90="$p90" 'BEGIN { exit !(p90 <= 100) }' ||
  fail "the first track after an appearance came later than 100 ms (p90 $p90 ms); each, in ms: $(tr '\n' ' ' <"$work/delays")"

finish listener_test
