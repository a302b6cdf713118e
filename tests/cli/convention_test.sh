#!/usr/bin/env bash
# The command-line convention, checked on one shipped program:
#   convention_test.sh NAME VERSION OPTION_WITH_VALUE -- COMMAND...
# (an empty OPTION_WITH_VALUE for a program whose options take none).
# --help and --version answer on standard output with status 0; an unknown
# option and a missing value answer with one line naming the problem, then
# the synopsis, on standard error, with status 2.
set -u
name=$1 version=$2 valued=$3
shift 4
# shellcheck source=tests/lib/scenario.sh
source "$(dirname "$0")/../lib/scenario.sh"
# Standard error is read for the program's own lines only: those that start
# with its name or its synopsis. Wine may add lines of its own anywhere.
run() {  # arguments...: sets out, err, status (Windows line ends dropped)
  local o e
  o=$(mktemp) e=$(mktemp)
  "$@" </dev/null >"$o" 2>"$e"
  status=$?
  out=$(tr -d '\r' <"$o") err=$(tr -d '\r' <"$e")
  rm -f "$o" "$e"
}

run "$@" --help
[ "$status" = 0 ] || fail "--help: status $status"
[[ "$out" == "usage: $name"* ]] || fail "--help: output does not start with the synopsis: ${out:0:80}"
grep -q "Exit status" <<<"$out" || fail "--help: no exit statuses"
if grep -E "^($name: |usage: )" <<<"$err"; then fail "--help: wrote to standard error"; fi

run "$@" --version
[ "$status" = 0 ] && [ "$out" = "$name $version" ] || fail "--version: status $status, '$out'"

usage_error() {  # what, the text the first line must hold, arguments...
  local what=$1 names=$2
  shift 2
  run "$@"
  [ "$status" = 2 ] || fail "$what: status $status"
  [ -z "$out" ] || fail "$what: wrote to standard output: $out"
  local first second
  first=$(grep -m1 "^$name: " <<<"$err") second=$(grep -m1 -A1 "^$name: " <<<"$err" | sed -n 2p)
  [[ "$first" == "$name: "*"$names"* ]] || fail "$what: its first line does not name the problem: $err"
  [[ "$second" == "usage: $name"* ]] || fail "$what: no synopsis after the problem: $second"
}
usage_error "unknown option" --no-such-option "$@" --no-such-option
[ -z "$valued" ] || usage_error "missing value" "$valued" "$@" "$valued"

finish "$name's command-line convention"
