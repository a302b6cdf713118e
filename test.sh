#!/usr/bin/env bash
# Installs what is missing, builds the Linux (sanitizers) and the 32-bit
# Windows configurations, and runs every test of both; the Windows tests run
# under Wine. Exits non-zero if anything failed.
set -uo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
vek_ensure_deps || { echo "dependency installation failed"; exit 1; }

passed=0 failed=0 status=0
run_preset() {
  local preset=$1
  echo "==> $preset: configure and build"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
    echo "==> $preset: build FAILED"
    failed=$((failed + 1)); status=1
    return
  fi
  echo "==> $preset: test"
  local log; log=$(mktemp)
  ctest --preset "$preset" -j2 2>&1 | tee "$log"
  local line; line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); status=1
  else
    local total bad
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad)); failed=$((failed + bad))
    [ "$bad" -eq 0 ] || status=1
  fi
  rm -f "$log"
  # The win32 test preset runs Wine with its heap validation on; any heap error
  # it reports in any test's output fails the run.
  local heap
  heap=$(grep -E '[0-9a-f]{4}:(err|warn):heap' "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null)
  if [ -n "$heap" ]; then
    echo "==> $preset: Wine reported heap errors:"
    echo "$heap" | head -n 20
    failed=$((failed + 1)); status=1
  fi
}

run_preset native-asan
run_preset win32
for extra in scripts/test-*.sh; do
  [ -e "$extra" ] || continue
  echo "==> $extra"
  if bash "$extra"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
done

echo "$passed passed, $failed failed"
exit $status
