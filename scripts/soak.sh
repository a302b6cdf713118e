#!/usr/bin/env bash
# The long soak: a randomised player session of (by default) 1,000,000 events
# through the shipped DLL under Wine, every step checked (tests/soak/soak.cpp).
# Prints the soak's own figures and the rate from the whole process's elapsed
# time (GNU time), Wine's start-up included. Extra arguments go to the soak,
# e.g. --seed S to replay a session.
#   VEK_SOAK_EVENTS  events (default 1000000)
#   VEK_SOAK_BUILD   a configured win32 build tree (default build/win32)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=tests/lib/scenario.sh
source tests/lib/scenario.sh
events=${VEK_SOAK_EVENTS:-1000000}
build=${VEK_SOAK_BUILD:-build/win32}

build_log=$build.soak-build.log
mkdir -p "$(dirname "$build_log")"
if ! { { [ -f "$build/CMakeCache.txt" ] || cmake --preset win32 -B "$build"; } &&
  cmake --build "$build" --target vek_soak foo_vek_ipc; } >"$build_log" 2>&1; then
  tail -n 30 "$build_log"
  die "the build in $build failed (full log: $build_log)"
fi

# The whole output, every checkpoint included, stays beside the build; what
# is parsed below is the soak's standard output alone, never Wine's messages.
log=$build/soak.log
errors=$build/soak.err
timing=$(mktemp)
at_exit rm -f "$timing"
status=0
# Pinned to one CPU: each window call is a round trip to wineserver, which
# inherits the pinning when this starts it (cf. the measurement notes).
(cd "$build/bin" && /usr/bin/time -f %e -o "$timing" taskset -c 0 "$root/cmake/wine-run" vek_soak.exe \
  --events "$events" --child-every 5000 --checkpoints 50 "$@") 2>"$errors" | tr -d '\r' >"$log" || status=$?

grep -E '^(seed|ucrtbase|GetProcess|FAULT|  expected|  seen)' "$log" || true
grep -E '^checkpoint' "$log" | sed -n '1p;$p'
elapsed=$(tail -n 1 "$timing")
done_events=$(sed -n 's/^events \([0-9]*\)$/\1/p' "$log")
echo "events: ${done_events:-none (the soak stopped early; log follows)}"
[ -n "$done_events" ] || { cat "$log" && tr -d '\r' <"$errors"; exit 1; }
echo "elapsed: $elapsed s (whole process, GNU time)"
awk -v n="$done_events" -v s="$elapsed" 'BEGIN { printf "events per second: %.0f\n", n / s }'
sed -n 's/^titles checked /titles checked: /p; s/^mismatches /mismatches: /p; s/^faults /faults: /p' "$log"
sed -n 's/^writes /writes: /p; s/^memory /memory (committed private bytes): /p' "$log"
exit "$status"
