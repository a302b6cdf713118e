#!/usr/bin/env bash
# Builds the optimised Linux preset with the benchmarks and runs each once,
# briefly: a check that they build and run, not a measurement (for figures,
# run build/native/bench/<name> on an idle machine).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build --preset native --target bench_strings bench_publishing | tail -n 1
for bench in bench_strings bench_publishing; do
  build/native/bench/$bench --benchmark_min_time=0.01 >/dev/null
  echo "$bench ran"
done
