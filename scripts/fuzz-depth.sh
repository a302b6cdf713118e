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
runs=${VEK_FUZZ_RUNS:-10000000}
max_seconds=${VEK_FUZZ_MAX_SECONDS:-10800}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(record_fuzzer title_fuzzer config_fuzzer)

# The fuzz build lets UBSan recover; halting makes undefined behaviour a finding.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target record_fuzzer title_fuzzer config_fuzzer | tail -n 1

findings=0
summary=()
for target in "${targets[@]}"; do
  [ -d "fuzz/corpus/$target" ] || { echo "no seed corpus fuzz/corpus/$target"; exit 2; }
  artifacts=build/fuzz/artifacts/$target
  work=build/fuzz/depth/$target
  log=build/fuzz/depth/$target.log
  mkdir -p "$artifacts"
  # The working corpus grows during the run; the seeds in the tree stay as they are.
  rm -rf "$work" && mkdir -p "$work" && cp "fuzz/corpus/$target"/* "$work/"
  # Longer inputs only repeat the same entries and records at a steep cost per
  # byte under the sanitizers, and would cut the run's executions several times over.
  case $target in
    record_fuzzer) extra=(-max_len=2048) ;;
    *) extra=(-max_len=1024) ;;
  esac
  [ -f "fuzz/$target.dict" ] && extra+=("-dict=fuzz/$target.dict")
  before=$(ls "$artifacts" | wc -l)
  echo "==> $target: $runs executions (log: $log)"
  status=0
  build/fuzz/bin/$target -runs="$runs" -max_total_time="$max_seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${extra[@]}" "$work" >"$log" 2>&1 || status=$?

  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n 1 || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  [ -n "$executed" ] || executed=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last")
  new=$(($(ls "$artifacts" | wc -l) - before))
  result="no findings"
  if [ "$status" -ne 0 ] || [ "$new" -gt 0 ]; then
    findings=$((findings + 1))
    result="FINDING (exit $status): $(grep -m1 -E '^SUMMARY|^==[0-9]+==ERROR|runtime error|^[a-z_]+: ' "$log" || echo 'see log')"
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
