#!/usr/bin/env bash
# vek-player given a module whose export returns no client: it says so and
# exits 1, the component's failure status, instead of crashing.
# Arguments: <Wine runner> <vek-player.exe> <module> <playlist>
set -u
runner=$1 player=$2 module=$3 playlist=$4
# shellcheck source=tests/lib/scenario.sh
source "$(dirname "$0")/../lib/scenario.sh"
said=$(mktemp) complaints=$(mktemp)
at_exit rm -f "$said" "$complaints"
"$runner" "$player" --component "$module" "$playlist" >"$said" 2>"$complaints"
status=$?
expected='vek-player: the module returned no client from foobar2000_get_interface'
# Only its own lines on standard error count: Wine may add some of its own.
{ [ $status -eq 1 ] && [ ! -s "$said" ] && [ "$(tr -d '\r' <"$complaints" | grep '^vek-player: ')" = "$expected" ]; } ||
  fail "vek-player ended with $status" "$said" "$complaints"
finish "vek-player and a module without a client"
