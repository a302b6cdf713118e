#!/usr/bin/env bash
# Deep fuzzing runs (not part of ./test.sh): builds the fuzz preset and runs
# each target for a fixed number of executions from a copy of its seed corpus
# fuzz/corpus/<target>/. Prints per target the executions, executions per
# second, libFuzzer's final coverage (cov: edges, ft: features) and findings;
# any finding keeps its input in build/fuzz/artifacts/<target>/ and makes the
# exit status non-zero.
#
#   scripts/fuzz-depth.sh [target...]   (default: all three)
#   VEK_FUZZ_RUNS          executions per target (default 10000000)
#   VEK_FUZZ_MAX_SECONDS   safety limit per target (default 10800)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tests/lib/scenario.sh
source tests/lib/scenario.sh
# shellcheck source=scripts/fuzz-lib.sh
source scripts/fuzz-lib.sh
runs=${VEK_FUZZ_RUNS:-10000000}
max_seconds=${VEK_FUZZ_MAX_SECONDS:-10800}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${fuzz_targets[@]}")
for target in "${targets[@]}"; do
  [ -d "fuzz/corpus/$target" ] || { echo "no seed corpus fuzz/corpus/$target"; exit 2; }
done

fuzz_build build/fuzz.fuzz-depth.log

findings=0
summary=()
for target in "${targets[@]}"; do
  log=build/fuzz/depth/$target.log
  # Longer inputs only repeat the same entries and records at a steep cost per
  # byte under the sanitizers, and would cut the run's executions several times over.
  case $target in
    record_fuzzer) max_len=2048 ;;
    *) max_len=1024 ;;
  esac
  echo "==> $target: $runs executions (log: $log)"
  fuzz_run "$target" "build/fuzz/depth/$target" "$log" -runs="$runs" -max_total_time="$max_seconds" \
    -max_len="$max_len"

  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n 1 || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  [ -n "$executed" ] || executed=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last")
  result="no findings"
  if fuzz_found; then
    findings=$((findings + 1))
    result="FINDING (exit $fuzz_status): $(grep -m1 -E '^SUMMARY|^==[0-9]+==ERROR|runtime error|^[a-z_]+: ' "$log" || echo 'see log')"
    grep -E 'Test unit written to' "$log" || true
  elif [ "${executed:-0}" -lt "$runs" ]; then
    result="no findings, but stopped by the ${max_seconds}s limit"
  fi
  line="$target: ${executed:-?} executions, ${rate:-?} exec/s, cov: ${cov:-?} ft: ${ft:-?}, $result"
  echo "$line"
  summary+=("$line")
done

echo "==> summary"
printf '%s\n' "${summary[@]}"
[ "$findings" -eq 0 ] || { echo "$findings target(s) with findings"; exit 1; }
