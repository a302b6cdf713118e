#!/usr/bin/env bash
# vek-ipc-decode as a filter: one output line per decodable input line, the
# faults on standard error with their line numbers, and the exit status.
set -u
decode=$1
failures=0
errfile=$(mktemp)
check() {  # name expected actual
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}
record='dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;'
input=$(printf '%s\r\n%s\n\n%s\n%s\n%s' "$record" 'STOP' 'dGl0bGUA:U29uZwA=' 'STOP' "$record")

out=$(printf '%s' "$input" | "$decode" 2>"$errfile"); status=$?
err=$(cat "$errfile"); rm -f "$errfile"
check "json lines" '{"state":"playing","fields":[["title","Song"],["artist","Band"]],"length":215}
{"state":"stopped"}
{"state":"none"}
{"state":"stopped"}
{"state":"playing","fields":[["title","Song"],["artist","Band"]],"length":215}' "$out"
check "fault report" "vek-ipc-decode: line 4: entry 1, byte 17: missing ';' after the value" "$err"
check "status after a fault" 1 "$status"

out=$(printf '%s\n%s\n' "$record" 'STOP' | "$decode" --tune); status=$?
check "tune lines" "<tune xmlns='http://jabber.org/protocol/tune'><artist>Band</artist><length>215</length><title>Song</title></tune>
<tune xmlns='http://jabber.org/protocol/tune'/>" "$out"
check "status without faults" 0 "$status"

"$decode" --bogus </dev/null 2>/dev/null; check "status for bad usage" 2 "$?"

[ "$failures" -eq 0 ] && echo "decode filter: all checks passed"
exit "$failures"
