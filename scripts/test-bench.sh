#!/usr/bin/env bash
# Builds the optimised Linux preset with the benchmarks and runs each once,
# briefly: a check that they build and run, not a measurement (for figures,
# run build/native/bin/<name> on an idle machine, and bench_boundary.exe
# under Wine pinned to one CPU). Google Benchmark must have been built with
# NDEBUG: a library that warns its timings may be affected fails the check.
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=tests/lib/scenario.sh
source tests/lib/scenario.sh
build_preset native build/native.test-bench.log bench_strings bench_publishing bench_base64

run_briefly() {  # name, command...
  local name=$1 out
  shift
  if ! out=$("$@" --benchmark_min_time=0.01 2>&1); then
    tail -n 20 <<<"$out"
    fail "$name did not run"
  elif grep -q 'Library was built as DEBUG' <<<"$out"; then
    grep 'Library was built as DEBUG' <<<"$out" | tr -d '\r'
    fail "$name: its Google Benchmark was built without NDEBUG; its figures cannot be trusted"
  else
    echo "$name ran"
  fi
}
for bench in bench_strings bench_publishing bench_base64; do
  run_briefly "$bench" "build/native/bin/$bench"
done
# The Windows benchmark of the exception bridge, built by the win32 preset.
if [ -f build/win32/bin/bench_boundary.exe ]; then
  cd build/win32/bin || die "cannot enter build/win32/bin"
  run_briefly bench_boundary ../../../cmake/wine-run bench_boundary.exe
else
  echo "bench_boundary not built (the win32 preset builds it): not run"
fi
finish test-bench
