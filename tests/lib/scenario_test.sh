#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through wait_until
# What the scenario library promises, shown on small scripts that source it:
# the statuses and lines of fail, die, skip and finish; that wait_until gives
# up once its time has passed; and that nothing a script started, nor what
# that started, outlives the script, whether it ends, dies or is interrupted
# while it waits.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lib/scenario.sh
source "$here/scenario.sh"
work=$(mktemp -d)
at_exit rm -rf "$work"

script() {  # name, body: a script that sources the library
  printf 'source %q\n%s\n' "$here/scenario.sh" "$2" >"$work/$1.sh"
}
run() {  # name: runs it, its status in $status
  bash "$work/$1.sh" >"$work/$1.out" 2>&1
  status=$?
}
expect() {  # name, status, a line its output must hold
  [ "$status" -eq "$2" ] || fail "$1: status $status, not $2" "$work/$1.out"
  grep -qxF -- "$3" "$work/$1.out" || fail "$1: no line '$3'" "$work/$1.out"
}

script passes 'finish passes'
run passes
expect passes 0 'passes: all checks passed'
# shellcheck disable=SC2016 # "$0" for the script, which shows itself
script fails 'fail one; fail two "$0"; echo went on; finish fails'
run fails
expect fails 1 'went on'
expect fails 1 'fails: 2 failed'
expect fails 1 "--- $work/fails.sh (last lines)"
script dies 'die stopped; echo went on'
run dies
expect dies 1 'FAIL: stopped'
if grep -q 'went on' "$work/dies.out"; then fail "die went on" "$work/dies.out"; fi
script skips 'skip skips "nothing to run on"'
run skips
expect skips 77 'skips: skipped: nothing to run on'

started=$(now_ms)
wait_until 1 false
status=$?
took=$(($(now_ms) - started))
{ [ $status -eq 1 ] && [ $took -ge 1000 ] && [ $took -lt 5000 ]; } ||
  fail "wait_until 1 false: status $status after $took ms"
wait_until 5 true || fail "wait_until 5 true gave up"

# Processes that last until ended, named with a mark of this run's own, so
# that another test's are never taken for its leftovers: a tree and one alone.
mark="vek-mark-$$ -f /dev/null"
lasting="exec -a vek-mark-$$ tail -f /dev/null"
script tree "start_process tree bash -c '($lasting) & ($lasting) & wait'
start_process alone bash -c '$lasting'
wait_until 10 eval '[ \"\$(pgrep -fxc \"$mark\")\" -eq 3 ]' || die 'the processes did not start'
touch '$work/started'
\"\$@\""
marked() { pgrep -fx "$mark" >/dev/null; }
for ending in "finish tree" "die tree" "false" "wait_until 600 false"; do
  rm -f "$work/started"
  if [ "$ending" = "wait_until 600 false" ]; then
    # Interrupted while it waits: SIGTERM, as a timeout or a stopping service sends.
    start_process interrupted bash "$work/tree.sh" wait_until 600 false
    wait_until 15 test -e "$work/started" || fail "the script did not start its processes"
    kill -TERM "$!"
    wait_process interrupted 30
    status=$?
    [ $status -eq 143 ] || fail "interrupted by SIGTERM: status $status"
  else
    # shellcheck disable=SC2086 # the ending's words
    bash "$work/tree.sh" $ending >"$work/tree.out" 2>&1
  fi
  # The script waits for what it ends: nothing is left once it has ended.
  if marked; then
    fail "left after the script's end by '$ending': $(pgrep -afx "$mark" | tr '\n' ';')"
    pkill -fx "$mark"
  fi
done

finish "scenario library"
