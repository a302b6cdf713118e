#!/usr/bin/env bash
# vek-ipc-decode as a filter: one output line per decodable input line (CR LF
# taken too), the faults on standard error with their line numbers, the status.
set -u
# shellcheck source=tests/lib/scenario.sh
source "$(dirname "$0")/../lib/scenario.sh"
check() {  # name expected actual
  [ "$2" = "$3" ] || fail "$1
--- expected
$2
--- got
$3"
}
record='dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;'
song='{"state":"playing","fields":[["title","Song"],["artist","Band"]],"length":215}'
err=$(mktemp)
out=$(printf '%s\r\nSTOP\n\ndGl0bGUA:U29uZwA=\n%s' "$record" "$record" | "$1" 2>"$err"); status=$?
check "json lines" "$song"$'\n{"state":"stopped"}\n{"state":"none"}\n'"$song" "$out"
check "fault report" "vek-ipc-decode: line 4: entry 1, byte 17: missing ';' after the value" "$(cat "$err"; rm "$err")"
check "status after a fault" 1 "$status"
out=$(printf '%s\nSTOP\n' "$record" | "$1" --tune); status=$?
check "tune lines" "<tune xmlns='http://jabber.org/protocol/tune'><artist>Band</artist><length>215</length><title>Song</title></tune>
<tune xmlns='http://jabber.org/protocol/tune'/>" "$out"
check "status without faults" 0 "$status"
out=$(printf '%s\nSTOP\n\n' "$record" | "$1" --text); status=$?
# Written out, not as $'\u...': bash spells those out only in a UTF-8 locale.
check "text lines" "▶ Band — Song (3:35)
■ stopped
nothing played yet" "$out"
check "text status" 0 "$status"
err=$("$1" --tune --text </dev/null 2>&1 >/dev/null); status=$?
check "--tune with --text" "2 vek-ipc-decode: --tune excludes --text" "$status $(head -n 1 <<<"$err")"
finish "decode filter"
