#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through wait_until
# vek-tune-publish against a private Prosody or ejabberd, seen by a contact: bob runs
# vek-tune-watch and prints every tune alice publishes. The publisher's input
# goes through a FIFO so that the test decides when each state arrives. A
# scenario stops at its first missed notification, which keeps the worst case
# well inside the test's time limit.
#
#   tune_publish_test.sh PATH/vek-tune-publish PATH/vek-tune-watch [prosody|ejabberd]
set -u
publisher=$1
watcher=$2
here=$(cd "$(dirname "$0")" && pwd)
fixture=${3:-prosody}
case $fixture in
  prosody | ejabberd) ;;
  *) echo "usage: tune_publish_test.sh PUBLISHER WATCHER [prosody|ejabberd]" >&2; exit 2 ;;
esac
# ejabberd.sh has the same functions and variables.
# shellcheck source=tests/xmpp/prosody.sh
source "$here/$fixture.sh"

xmpp_setup || exit 1
xmpp_add_account alice alice-secret && xmpp_add_account bob bob-secret || exit 1
xmpp_start || exit 1
work=$xmpp_dir/run
mkdir "$work"
umask 077  # the password files as a user would keep them
printf 'alice-secret\r\n' >"$work/alice.pass"
printf 'bob-secret\n' >"$work/bob.pass"
printf 'not-the-password\n' >"$work/wrong.pass"

failures=0


# --- the contact -------------------------------------------------------------
"${xmpp_tied[@]}" "$watcher" --jid bob@localhost --password-file "$work/bob.pass" --server "127.0.0.1:$xmpp_port" \
  --ca-file "$xmpp_ca" --from alice@localhost --verbose >"$work/watch.out" 2>"$work/watch.err" &
watcher_pid=$!
xmpp_track_pid "$watcher_pid"

seen_count() { wc -l <"$work/watch.out"; }
seen_since() { tail -n +"$(($1 + 1))" "$work/watch.out"; }
seen_line_since() { seen_since "$1" | grep -Fxq -- "$2"; }
ready_count() { grep -cx ready "$work/watch.err"; }
ready_more_than() { [ "$(ready_count)" -gt "$1" ]; }

# --- the publisher -----------------------------------------------------------
publisher_pid="" feed=""
start_publisher() {  # extra arguments; the server is $server, the test's Prosody unless set
  rm -f "$work/in"
  mkfifo "$work/in"
  "${xmpp_tied[@]}" "$publisher" --jid alice@localhost --server "${server:-127.0.0.1:$xmpp_port}" "$@" \
    <"$work/in" >"$work/publish.out" 2>"$work/publish.err" &
  publisher_pid=$!
  xmpp_track_pid "$publisher_pid"
  exec {feed}>"$work/in"
}
# In a subshell: a publisher that has ended makes the write fail, not the test.
send() { (printf '%s\n' "$@" >&"$feed") 2>/dev/null; }
end_input() {
  [ -z "$feed" ] || exec {feed}>&-
  feed=""
}
publisher_gone() { ! kill -0 "$publisher_pid" 2>/dev/null; }
# Ends the input and waits (SECONDS) for the publisher: its status, or 124
# (and it is killed) if it is still running.
finish_publisher() {
  end_input
  if ! wait_until "$1" publisher_gone; then
    kill -KILL "$publisher_pid" 2>/dev/null
    wait "$publisher_pid" 2>/dev/null
    return 124
  fi
  wait "$publisher_pid"
}

fail() {  # message [offset of the watcher's lines to show]
  failures=$((failures + 1))
  echo "FAIL $1"
  if [ -n "${2:-}" ]; then
    echo "--- tunes seen by bob"
    seen_since "$2"
  fi
  echo "--- publisher's standard error (last lines)"
  tail -n 15 "$work/publish.err" 2>/dev/null
  echo "--- watcher's standard error (last lines)"
  tail -n 8 "$work/watch.err"
  echo "--- $xmpp_server log (last lines)"
  xmpp_log_tail 25
  echo "---"
}

# expect_tune OFFSET SECONDS JSON: the tune reaches bob after OFFSET.
expect_tune() {
  wait_until "$2" seen_line_since "$1" "$3" && return
  fail "bob did not see $3 within $2 s" "$1"
  return 1
}

wait_until 15 ready_more_than 0 || { fail "the watcher did not log in"; exit 1; }
sleep 0.5  # the server's caps query and its answer

# --- states in order, with escaping; the empty tune at the end of input -------
song1='{"state":"playing","fields":[["title","Rock & Roll <Live> \"1984\""],["artist","Mot\u00f6rhead"],["album","No Remorse"],["tracknumber","3"]],"length":215}'
tune1='{"artist":"Mot\u00f6rhead","length":"215","source":"No Remorse","title":"Rock & Roll <Live> \"1984\"","track":"3"}'
song2='{"state":"playing","fields":[["TITLE","Second"],["Artist","Band"],["uri","http://example.org/a?b=1&c=2"]],"length":61}'
tune2='{"artist":"Band","length":"61","title":"Second","uri":"http://example.org/a?b=1&c=2"}'
song3='{"state":"playing","fields":[["title","Third"],["rating","7"]],"length":90}'
tune3='{"length":"90","rating":"7","title":"Third"}'
song4='{"state":"playing","fields":[["title","Fourth"]],"length":100}'
tune4='{"length":"100","title":"Fourth"}'
step() {  # input line, expected tune: each state lasts over a second, so none is merged
  local started offset
  started=$(now_ms)
  offset=$(seen_count)
  send "$1"
  expect_tune "$offset" 15 "$2" || return
  while [ $(($(now_ms) - started)) -lt 1300 ]; do sleep 0.1; done
}
first=$(seen_count)
start_publisher --password-file "$work/alice.pass" --ca-file "$xmpp_ca"
if step "$song1" "$tune1" && step "$song2" "$tune2" &&
  send "$song2" '{"state":"playing","fields":[["title"' && sleep 1.3 && # the same state again, a broken line
  step "$song3" "$tune3" && step '{"state":"stopped"}' '{}' && step "$song4" "$tune4"; then
  before_end=$(seen_count)
  finish_publisher 15
  status=$?
  [ $status -eq 0 ] || fail "the publisher ended with status $status at the end of input" "$first"
  expect_tune "$before_end" 5 '{}' && sleep 0.5
  # An empty tune published before the first state is allowed; nothing else.
  got=$(seen_since "$first" | awk 'started || $0 != "{}" { started = 1; print }')
  want=$(printf '%s\n' "$tune1" "$tune2" "$tune3" '{}' "$tune4" '{}')
  [ "$got" = "$want" ] || fail "the tunes in order: expected
$want" "$first"
  case $(cat "$work/publish.err") in
    "vek-tune-publish: line 4: malformed input ("*"); skipped") ;;
    *) fail "the broken line 4 was not reported as the one line on standard error" ;;
  esac
else
  finish_publisher 5
fi

# --- a burst of changes is paced, ending on the last ------------------------
VEK_XMPP_PASSWORD=alice-secret start_publisher --ca-file "$xmpp_ca"
first=$(seen_count)
send '{"state":"playing","fields":[["title","Warm-up"]],"length":10}'
if expect_tune "$first" 15 '{"length":"10","title":"Warm-up"}'; then
  sleep 1.2
  first=$(seen_count)
  burst=()
  for i in $(seq 1 100); do
    burst+=("{\"state\":\"playing\",\"fields\":[[\"title\",\"Burst $i\"]],\"length\":$i}")
  done
  send "${burst[@]}"
  if expect_tune "$first" 15 '{"length":"100","title":"Burst 100"}'; then
    sleep 2.5  # anything still coming
    count=$(seen_since "$first" | wc -l)
    last=$(seen_since "$first" | tail -n 1)
    [ "$count" -le 3 ] || fail "100 changes within a second gave $count notifications" "$first"
    [ "$last" = '{"length":"100","title":"Burst 100"}' ] || fail "the burst did not end on its last state" "$first"
  fi
fi
finish_publisher 15 || fail "the publisher ended with status $? after the burst"

# --- the server restarts: the state current at reconnection, never the older --
# Both servers send bob the last tune again when he logs in after the restart
# (unmarked): what counts is what the publisher sent, and that Beta never came.
start_publisher --password-file "$work/alice.pass" --ca-file "$xmpp_ca" --verbose
first=$(seen_count)
send '{"state":"playing","fields":[["title","Alpha"]],"length":1}'
if expect_tune "$first" 15 '{"length":"1","title":"Alpha"}'; then
  ready_before=$(ready_count)
  xmpp_stop
  sleep 0.5
  send '{"state":"playing","fields":[["title","Beta"]],"length":2}'
  sleep 1.2
  send '{"state":"playing","fields":[["title","Gamma"]],"length":3}'
  sleep 1
  # The server must not hold the publisher's input open: that would hide its end.
  xmpp_restart_same {feed}>&- || { fail "$xmpp_server did not start again"; exit 1; }
  wait_until 15 ready_more_than "$ready_before" || fail "the watcher did not log in again"
  if expect_tune "$first" 30 '{"length":"3","title":"Gamma"}'; then
    sleep 2
    if seen_since "$first" | grep -q Beta; then fail "a state seen while the server was down reached bob" "$first"; fi
    published=$(grep -c '^vek-tune-publish: [0-9:]* published .*<title>Gamma</title>' "$work/publish.err")
    [ "$published" -eq 1 ] || fail "the state after reconnecting was published $published times"
    if grep -q '^vek-tune-publish: [0-9:]* published .*Beta' "$work/publish.err"; then fail "Beta was published"; fi
    # The server's words, labelled as the server's. Prosody always says
    # system-shutdown before it closes; ejabberd, on SIGTERM, sometimes closes
    # the socket without a stream error (its log then has no "Closing c2s
    # session"), and the publisher must then say just that, not invent words.
    lost="^vek-tune-publish: connection to 127.0.0.1:$xmpp_port lost: the server closed"
    shutdown_said="$lost the stream: system-shutdown"
    [ "$fixture" = prosody ] || shutdown_said="$shutdown_said|$lost the connection\$"
    grep -Eq "$shutdown_said" "$work/publish.err" ||
      fail "the server's shutdown was not reported in the server's own words"
  fi
fi
# SIGTERM ends it like the end of input: the empty tune, then status 0.
before_end=$(seen_count)
kill -TERM "$publisher_pid" 2>/dev/null
if wait_until 15 publisher_gone; then
  wait "$publisher_pid"
  status=$?
  [ $status -eq 0 ] || fail "the publisher ended with status $status on SIGTERM"
  expect_tune "$before_end" 5 '{}'
else
  fail "the publisher did not end within 15 s of SIGTERM"
fi
end_input

# --- failures on the first connection: one line, a distinct status -----------
expect_failure() {  # status, line pattern (glob), publisher arguments...
  local want=$1 pattern=$2 status
  shift 2
  start_publisher "$@"
  send '{"state":"playing","fields":[["title","Unheard"]],"length":5}'
  if wait_until 10 publisher_gone; then
    wait "$publisher_pid"
    status=$?
  else
    status="still running after 10 s"
  fi
  end_input
  kill -KILL "$publisher_pid" 2>/dev/null
  local errors
  errors=$(cat "$work/publish.err")
  # shellcheck disable=SC2053
  if [ "$status" != "$want" ] || [[ $errors != $pattern ]] || [ "$(wc -l <"$work/publish.err")" -ne 1 ]; then
    fail "expected status $want and one line like '$pattern'; got status $status and
$errors"
  fi
}
expect_failure 3 "vek-tune-publish: authentication failed for alice@localhost: ?*" \
  --password-file "$work/wrong.pass" --ca-file "$xmpp_ca"
expect_failure 4 "vek-tune-publish: certificate verification failed for localhost at 127.0.0.1:$xmpp_port: ?*" \
  --password-file "$work/alice.pass" --ca-file "$xmpp_other_ca"
unused=$(xmpp_free_port)
server=127.0.0.1:$unused expect_failure 5 "vek-tune-publish: cannot connect to 127.0.0.1:$unused: ?*" \
  --password-file "$work/alice.pass" --ca-file "$xmpp_ca"

kill -0 "$watcher_pid" 2>/dev/null || fail "the watcher ended during the test"
[ "$failures" -eq 0 ] && echo "tune publish: all checks passed"
exit "$failures"
