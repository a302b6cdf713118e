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

{ xmpp_setup && xmpp_add_account alice alice-secret && xmpp_add_account bob bob-secret && xmpp_start; } ||
  die "the private $fixture did not start"
work=$xmpp_dir/run
mkdir "$work"
umask 077  # the password files as a user would keep them
printf 'alice-secret\r\n' >"$work/alice.pass"
printf 'bob-secret\n' >"$work/bob.pass"
printf 'not-the-password\n' >"$work/wrong.pass"

# --- the contact -------------------------------------------------------------
start_process watcher "$watcher" --jid bob@localhost --password-file "$work/bob.pass" --server "127.0.0.1:$xmpp_port" \
  --ca-file "$xmpp_ca" --from alice@localhost --verbose >"$work/watch.out" 2>"$work/watch.err"

seen_count() { wc -l <"$work/watch.out"; }
seen_since() { tail -n +"$(($1 + 1))" "$work/watch.out"; }
seen_line_since() { seen_since "$1" | grep -Fxq -- "$2"; }
ready_count() { grep -cx ready "$work/watch.err"; }
ready_more_than() { [ "$(ready_count)" -gt "$1" ]; }

# --- the publisher -----------------------------------------------------------
feed=""
start_publisher() {  # extra arguments; the server is $server, the test's own unless set
  rm -f "$work/in"
  mkfifo "$work/in"
  start_process --input "$work/in" publisher "$publisher" --jid alice@localhost \
    --server "${server:-127.0.0.1:$xmpp_port}" "$@" >"$work/publish.out" 2>"$work/publish.err"
  exec {feed}>"$work/in"
}
# In a subshell: a publisher that has ended makes the write fail, not the test.
send() { (printf '%s\n' "$@" >&"$feed") 2>/dev/null; }
end_input() {
  [ -z "$feed" ] || exec {feed}>&-
  feed=""
}
# Ends the input and waits (SECONDS) for the publisher: its status, or 124
# (and it is killed) if it is still running.
finish_publisher() {
  end_input
  wait_process publisher "$1"
  local status=$?
  [ $status -ne 124 ] || stop_process publisher KILL
  return $status
}
# The publisher publishes once a second at most: a state sent at sent_at
# must last past that before the next comes, or the two may be merged.
sent_at=0
outlast_pace() {
  local remaining=$((1300 - ($(now_ms) - sent_at)))
  # A time the publisher keeps, with nothing to observe: slept.
  [ "$remaining" -le 0 ] || sleep "$((remaining / 1000)).$(printf '%03d' $((remaining % 1000)))"
}

# What every failure shows: the tunes bob saw since the scenario's first
# state, and the last words of each party.
first=0
failure_context() {
  echo "--- tunes seen by bob"
  seen_since "$first"
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
  fail "bob did not see $3 within $2 s"
  return 1
}

wait_until 15 ready_more_than 0 || die "the watcher did not log in"
# Until the server has bob's capabilities, it does not know he wants tunes.
wait_until 15 grep -q 'answered disco#info' "$work/watch.err" || die "the server did not ask bob what he supports"

# --- states in order, with escaping; the empty tune at the end of input -------
song1='{"state":"playing","fields":[["title","Rock & Roll <Live> \"1984\""],["artist","Mot\u00f6rhead"],["album","No Remorse"],["tracknumber","3"]],"length":215}'
tune1='{"artist":"Mot\u00f6rhead","length":"215","source":"No Remorse","title":"Rock & Roll <Live> \"1984\"","track":"3"}'
song2='{"state":"playing","fields":[["TITLE","Second"],["Artist","Band"],["uri","http://example.org/a?b=1&c=2"]],"length":61}'
tune2='{"artist":"Band","length":"61","title":"Second","uri":"http://example.org/a?b=1&c=2"}'
song3='{"state":"playing","fields":[["title","Third"],["rating","7"]],"length":90}'
tune3='{"length":"90","rating":"7","title":"Third"}'
song4='{"state":"playing","fields":[["title","Fourth"]],"length":100}'
tune4='{"length":"100","title":"Fourth"}'
step() {  # input line, expected tune
  local offset
  offset=$(seen_count)
  sent_at=$(now_ms)
  send "$1"
  expect_tune "$offset" 15 "$2" || return
  outlast_pace
}
# The same state again and a broken line: the broken one is reported once read.
resend_and_break() {
  send "$song2" '{"state":"playing","fields":[["title"'
  wait_until 15 grep -q '^vek-tune-publish: line 4: ' "$work/publish.err" && return
  fail "the broken line 4 was not reported"
  return 1
}
first=$(seen_count)
start_publisher --password-file "$work/alice.pass" --ca-file "$xmpp_ca"
if step "$song1" "$tune1" && step "$song2" "$tune2" && resend_and_break &&
  step "$song3" "$tune3" && step '{"state":"stopped"}' '{}' && step "$song4" "$tune4"; then
  before_end=$(seen_count)
  finish_publisher 15
  status=$?
  [ $status -eq 0 ] || fail "the publisher ended with status $status at the end of input"
  # The publisher has ended: after its empty tune, nothing more can come.
  expect_tune "$before_end" 5 '{}'
  # An empty tune published before the first state is allowed; nothing else.
  got=$(seen_since "$first" | awk 'started || $0 != "{}" { started = 1; print }')
  want=$(printf '%s\n' "$tune1" "$tune2" "$tune3" '{}' "$tune4" '{}')
  [ "$got" = "$want" ] || fail "the tunes in order: expected
$want"
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
sent_at=$(now_ms)
send '{"state":"playing","fields":[["title","Warm-up"]],"length":10}'
burst_ended=0
if expect_tune "$first" 15 '{"length":"10","title":"Warm-up"}'; then
  outlast_pace  # the burst's first state may go out at once, the others must wait
  first=$(seen_count)
  burst=()
  for i in $(seq 1 100); do
    burst+=("{\"state\":\"playing\",\"fields\":[[\"title\",\"Burst $i\"]],\"length\":$i}")
  done
  send "${burst[@]}"
  expect_tune "$first" 15 '{"length":"100","title":"Burst 100"}' && burst_ended=1
fi
finish_publisher 15 || fail "the publisher ended with status $? after the burst"
# Whatever the burst still held would come before the empty tune of the end.
if [ $burst_ended -eq 1 ] && expect_tune "$first" 5 '{}'; then
  burst_seen=$(seen_since "$first" | sed '/^{}$/,$d')
  count=$(wc -l <<<"$burst_seen")
  [ "$count" -le 3 ] || fail "100 changes within a second gave $count notifications"
  [ "$(tail -n 1 <<<"$burst_seen")" = '{"length":"100","title":"Burst 100"}' ] || fail "the burst did not end on its last state"
fi

# --- the server restarts: the state current at reconnection, never the older --
# Both servers send bob the last tune again when he logs in after the restart
# (unmarked): what counts is what the publisher sent, and that Beta never came.
start_publisher --password-file "$work/alice.pass" --ca-file "$xmpp_ca" --verbose
first=$(seen_count)
send '{"state":"playing","fields":[["title","Alpha"]],"length":1}'
gamma_seen=0
if expect_tune "$first" 15 '{"length":"1","title":"Alpha"}'; then
  ready_before=$(ready_count)
  xmpp_stop
  wait_until 15 grep -q '^vek-tune-publish: reconnecting in ' "$work/publish.err" ||
    fail "the publisher did not notice that the server had stopped"
  sent_at=$(now_ms)
  send '{"state":"playing","fields":[["title","Beta"]],"length":2}'
  outlast_pace
  send '{"state":"playing","fields":[["title","Gamma"]],"length":3}'
  # The server must not hold the publisher's input open: that would hide its end.
  xmpp_restart_same {feed}>&- || die "$xmpp_server did not start again"
  wait_until 15 ready_more_than "$ready_before" || fail "the watcher did not log in again"
  expect_tune "$first" 30 '{"length":"3","title":"Gamma"}' && gamma_seen=1
fi
# SIGTERM ends it like the end of input: the empty tune, then status 0.
before_end=$(seen_count)
kill -TERM "${scenario_pid[publisher]}" 2>/dev/null
wait_process publisher 15
status=$?
end_input
if [ $status -eq 124 ]; then
  fail "the publisher did not end within 15 s of SIGTERM"
else
  [ $status -eq 0 ] || fail "the publisher ended with status $status on SIGTERM"
  expect_tune "$before_end" 5 '{}'
fi
# All it published is in: Beta was never current while it was connected.
if [ $gamma_seen -eq 1 ]; then
  if seen_since "$first" | grep -q Beta; then fail "a state seen while the server was down reached bob"; fi
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

# --- failures on the first connection: one line, a distinct status -----------
expect_failure() {  # status, line pattern (glob), publisher arguments...
  local want=$1 pattern=$2 status
  shift 2
  start_publisher "$@"
  send '{"state":"playing","fields":[["title","Unheard"]],"length":5}'
  wait_process publisher 10
  status=$?
  if [ $status -eq 124 ]; then
    status="still running after 10 s"
    stop_process publisher KILL
  fi
  end_input
  local errors
  errors=$(cat "$work/publish.err")
  # shellcheck disable=SC2053
  if [ "$status" != "$want" ] || [[ $errors != $pattern ]] || [ "$(wc -l <"$work/publish.err")" -ne 1 ]; then
    fail "expected status $want and one line like '$pattern'; got status $status and
$errors"
  fi
}
first=$(seen_count)
expect_failure 3 "vek-tune-publish: authentication failed for alice@localhost: ?*" \
  --password-file "$work/wrong.pass" --ca-file "$xmpp_ca"
expect_failure 4 "vek-tune-publish: certificate verification failed for localhost at 127.0.0.1:$xmpp_port: ?*" \
  --password-file "$work/alice.pass" --ca-file "$xmpp_other_ca"
unused=$(xmpp_free_port)
server=127.0.0.1:$unused expect_failure 5 "vek-tune-publish: cannot connect to 127.0.0.1:$unused: ?*" \
  --password-file "$work/alice.pass" --ca-file "$xmpp_ca"

running watcher || fail "the watcher ended during the test"
finish "tune publish on $xmpp_server"
