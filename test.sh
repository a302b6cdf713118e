#!/usr/bin/env bash
# Installs what is missing, builds the Linux (sanitizers) and the 32-bit
# Windows configurations, and runs every test of both; the Windows tests run
# under Wine. Exits non-zero if anything failed.
set -uo pipefail

usage() {
  cat <<'EOF'
usage: ./test.sh [-h | --help]

Installs what is missing (as root, from Debian's archive; Google Benchmark
from its Debian source package), builds the Linux preset with sanitizers
(native-asan) and the 32-bit Windows preset (win32), runs every test of both
(the Windows ones under Wine), then scripts/test-*.sh: each benchmark briefly
(native preset), short fuzzing runs (fuzz preset), the install and the
Debian package. A script that cannot run here (for example the package's
install, which needs root) says why and counts as skipped.

  -h, --help        print this help and exit

Environment:
  VEK_FUZZ_SECONDS  how long each fuzz target runs (default 20)

Exit status: 0 every test passed; 1 an installation, a build or a test
failed; 2 usage.
EOF
}
for arg; do
  case "$arg" in
    -h | --help) usage; exit 0 ;;
    *) echo "test.sh: unknown argument '$arg'" >&2; usage >&2; exit 2 ;;
  esac
done

cd "$(dirname "$0")" || exit 1
source scripts/deps.sh
vek_ensure_deps test || { echo "dependency installation failed"; exit 1; }

passed=0 failed=0 skipped=0 status=0
run_preset() {
  local preset=$1
  echo "==> $preset: configure and build"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
    echo "==> $preset: build FAILED"
    failed=$((failed + 1)); status=1
    return
  fi
  echo "==> $preset: test"
  local log ctest_status
  log=$(mktemp)
  ctest --preset "$preset" -j2 2>&1 | tee "$log"
  ctest_status=${PIPESTATUS[0]}
  # Whether it passed is ctest's status; its summary only gives the counts.
  local line total=0 bad=0
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  fi
  passed=$((passed + total - bad)); failed=$((failed + bad))
  if [ "$ctest_status" -ne 0 ]; then
    status=1
    if [ "$bad" -eq 0 ]; then
      echo "==> $preset: ctest ended with status $ctest_status"
      failed=$((failed + 1))
    fi
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
  bash "$extra"
  case $? in
    0) passed=$((passed + 1)) ;;
    77) skipped=$((skipped + 1)) ;;  # it said why
    *) failed=$((failed + 1)); status=1 ;;
  esac
done

echo "$passed passed, $failed failed, $skipped skipped"
exit $status
