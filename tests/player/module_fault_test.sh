#!/usr/bin/env bash
# vek-player given a module whose export returns no client: it says so and
# exits 1, the component's failure status, instead of crashing.
# Arguments: <Wine runner> <vek-player.exe> <module> <playlist>
set -u
runner=$1 player=$2 module=$3 playlist=$4
# shellcheck source=tests/lib/scenario.sh
source "$(dirname "$0")/../lib/scenario.sh"
said=$(mktemp)
at_exit rm -f "$said"
"$runner" "$player" --component "$module" "$playlist" >"$said" 2>&1
status=$?
expected='vek-player: the module returned no client from foobar2000_get_interface'
{ [ $status -eq 1 ] && [ "$(tr -d '\r' <"$said")" = "$expected" ]; } || fail "vek-player ended with $status" "$said"
finish "vek-player and a module without a client"
