# shellcheck shell=bash
# What scripts/test-fuzz.sh and scripts/fuzz-depth.sh share: the fuzz preset's
# build and one run of a libFuzzer target. Sourced from the project's root,
# after tests/lib/scenario.sh.
#
#   fuzz_targets             every target, in the order the scripts run them
#   fuzz_build LOG           configures and builds the targets, the output in
#                            LOG; if that fails, shows its end and dies
#   fuzz_run TARGET CORPUS LOG [OPTION...]
#                            runs build/fuzz/bin/TARGET with the OPTIONs and
#                            fuzz/TARGET.dict (where one exists) on CORPUS, a
#                            folder filled afresh from the seeds
#                            fuzz/corpus/TARGET/; its output goes to LOG and
#                            what it finds to build/fuzz/artifacts/TARGET/.
#                            Sets fuzz_status (its exit status) and
#                            fuzz_new_artifacts (the inputs it kept)
#   fuzz_found               whether the last run found something

fuzz_targets=(record_fuzzer title_fuzzer config_fuzzer)

# UBSan's reports with their stack. The build already stops on the first
# (-fno-sanitize-recover); halting here keeps undefined behaviour a finding
# should that flag go.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

fuzz_build() {  # log
  build_preset fuzz "$1" "${fuzz_targets[@]}"
}

fuzz_run() {  # target, corpus, log, options...
  local target=$1 corpus=$2 log=$3 artifacts=build/fuzz/artifacts/$1 before
  shift 3
  local options=("$@")
  if [ -f "fuzz/$target.dict" ]; then options+=("-dict=fuzz/$target.dict"); fi
  mkdir -p "$artifacts"
  # libFuzzer adds new inputs to the corpus it runs on: the seeds in the tree
  # stay as they are.
  if ! { rm -rf "$corpus" && mkdir -p "$corpus" && cp "fuzz/corpus/$target"/* "$corpus/"; }; then
    die "cannot copy the seeds of $target to $corpus"
  fi
  before=$(find "$artifacts" -type f | wc -l)
  fuzz_status=0
  "build/fuzz/bin/$target" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "${options[@]}" "$corpus" >"$log" 2>&1 || fuzz_status=$?
  fuzz_new_artifacts=$(($(find "$artifacts" -type f | wc -l) - before))
}

fuzz_found() {
  [ "$fuzz_status" -ne 0 ] || [ "$fuzz_new_artifacts" -gt 0 ]
}
