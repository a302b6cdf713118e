#!/usr/bin/env bash
# Builds the optimised Linux preset with the benchmarks and runs each once,
# briefly: a check that they build and run, not a measurement (for figures,
# run build/native/bench/<name> on an idle machine, and bench_boundary.exe
# under Wine pinned to one CPU).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build --preset native --target bench_strings bench_publishing bench_base64 | tail -n 1
for bench in bench_strings bench_publishing bench_base64; do
  build/native/bench/$bench --benchmark_min_time=0.01 >/dev/null
  echo "$bench ran"
done
# The Windows benchmark of the exception bridge, built by the win32 preset.
if [ -f build/win32/bin/bench_boundary.exe ]; then
  (cd build/win32/bin && ../../../cmake/wine-run bench_boundary.exe --benchmark_min_time=0.01 >/dev/null 2>&1)
  echo "bench_boundary ran"
fi
