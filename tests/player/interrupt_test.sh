#!/bin/sh
# vek-player interrupted while playing (SIGINT, which Wine turns into Ctrl+C):
# it stops playback, quits, unloads and exits with 3.
# Arguments: <Wine runner> <vek-player.exe>
set -u
runner=$1 player=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'track\ntitle = Long\nplay 60s\n' >"$work/long.playlist"

: >"$work/output"
"$runner" "$player" --verbose "$work/long.playlist" >"$work/output" 2>&1 &
pid=$!
tries=0
until grep -q 'dynamic_info' "$work/output"; do
  tries=$((tries + 1))
  if [ "$tries" -gt 300 ] || ! kill -0 "$pid" 2>/dev/null; then
    echo "playback did not start:"
    cat "$work/output"
    kill "$pid" 2>/dev/null
    exit 1
  fi
  sleep 0.1
done
kill -INT "$pid"
wait "$pid"
status=$?
output=$(tr -d '\r' <"$work/output")
ending=$(printf '%s\n' "$output" | tail -n 2)
expected='[event] line 3: playback_stopped user
vek-player: interrupted'
if [ "$status" -ne 3 ] || [ "$ending" != "$expected" ]; then
  echo "expected exit status 3 and a stop before the end, got $status:"
  printf '%s\n' "$output"
  exit 1
fi
