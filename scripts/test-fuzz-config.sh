#!/usr/bin/env bash
# A short fuzzing run of the configuration loader: builds the fuzz preset
# (clang, libFuzzer with ASan and UBSan) in build/fuzz and fuzzes for about 25
# seconds, starting from the seeds in fuzz/corpus/config. Any crash, leak or
# sanitizer finding fails; the input that caused it is kept in
# build/fuzz/artifacts/config/.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target config_fuzzer

artifacts=build/fuzz/artifacts/config
mkdir -p "$artifacts"
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT

# New inputs go to the scratch corpus; the seeds stay as they are.
build/fuzz/fuzz/config_fuzzer -max_total_time=25 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus" fuzz/corpus/config
