#!/usr/bin/env bash
# Short fuzzing runs: builds the fuzz preset (clang, libFuzzer, ASan and UBSan
# over the whole component) in build/fuzz and runs each target for a bounded
# time from a copy of its seed corpus fuzz/corpus/<target>/. Any crash, leak or
# sanitizer finding fails, and the input that caused it is kept in
# build/fuzz/artifacts/<target>/. scripts/fuzz-depth.sh runs them for longer.
#   VEK_FUZZ_SECONDS   seconds per target (default 20)
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=tests/lib/scenario.sh
source tests/lib/scenario.sh
# shellcheck source=scripts/fuzz-lib.sh
source scripts/fuzz-lib.sh
seconds=${VEK_FUZZ_SECONDS:-20}

fuzz_build build/fuzz.test-fuzz.log
work=$(mktemp -d)
at_exit rm -rf "$work"
for target in "${fuzz_targets[@]}"; do
  echo "==> $target for ${seconds}s"
  log=$work/$target.log
  fuzz_run "$target" "$work/$target" "$log" -max_total_time="$seconds"
  grep -E '^(stat::number_of_executed_units|SUMMARY)' "$log" || true
  ! fuzz_found || { tail -n 40 "$log" && die "$target found a fault (exit $fuzz_status)"; }
done
finish test-fuzz
