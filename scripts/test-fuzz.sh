#!/usr/bin/env bash
# Short fuzzing runs: builds the fuzz preset (clang, libFuzzer, ASan and UBSan
# over the whole component) in build/fuzz and runs each target for a bounded
# time from a copy of its seed corpus fuzz/corpus/<target>/. Any crash, leak or
# sanitizer finding fails, and the input that caused it is kept in
# build/fuzz/artifacts/<target>/. scripts/fuzz-depth.sh runs them for longer.
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=tests/lib/scenario.sh
source tests/lib/scenario.sh
seconds=${VEK_FUZZ_SECONDS:-20}
# The fuzz build lets UBSan recover; halting makes undefined behaviour a finding.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

build_preset fuzz build/fuzz.test-fuzz.log record_fuzzer title_fuzzer config_fuzzer

# New inputs go to a copy of each corpus, never into the tree.
work=$(mktemp -d)
at_exit rm -rf "$work"
for target in record_fuzzer title_fuzzer config_fuzzer; do
  artifacts=build/fuzz/artifacts/$target
  mkdir -p "$artifacts"
  corpus=$work/$target
  mkdir "$corpus"
  cp "fuzz/corpus/$target"/* "$corpus/"
  extra=()
  [ -f "fuzz/$target.dict" ] && extra+=("-dict=fuzz/$target.dict")
  echo "==> $target for ${seconds}s"
  log=$work/$target.log
  status=0
  build/fuzz/bin/$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${extra[@]}" "$corpus" >"$log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|SUMMARY)' "$log" || true
  [ "$status" -eq 0 ] || { tail -n 40 "$log" && die "$target found a fault (exit $status)"; }
done
finish test-fuzz
