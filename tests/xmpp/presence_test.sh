#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through wait_until
# vek-tune-publish beside the person's own client, on a real server: the
# publisher must not look like the person. alice publishes as alice@localhost/tunes
# and bob, her contact, follows the tunes and records every presence from her
# account. carol writes to alice's bare address:
#   - while only the publisher is logged in, the server must answer that nobody
#     is there (the chat is refused), not hand the chat to the publisher;
#   - once alice's own client (alice@localhost/laptop, priority 0) is online,
#     that client gets the chat.
# bob and alice's own client must never see the publisher's resource available
# with a non-negative priority, and bob must still receive every tune.
#
#   presence_test.sh PATH/vek-tune-publish PATH/vek-tune-watch prosody|ejabberd
set -u
publisher=$1
watcher=$2
here=$(cd "$(dirname "$0")" && pwd)
fixture=${3:-}
case $fixture in
  prosody | ejabberd) ;;
  *) echo "usage: presence_test.sh PUBLISHER WATCHER prosody|ejabberd" >&2; exit 2 ;;
esac
# ejabberd.sh has the same functions and variables.
# shellcheck source=tests/xmpp/prosody.sh
source "$here/$fixture.sh"

{ xmpp_setup && xmpp_add_account alice alice-secret && xmpp_add_account bob bob-secret &&
  xmpp_add_account carol carol-secret && xmpp_start; } || die "the private $fixture did not start"
work=$xmpp_dir/run
mkdir "$work"
umask 077  # the password files as a user would keep them
for name in alice bob carol; do printf '%s-secret\n' "$name" >"$work/$name.pass"; done

failure_context() {
  for file in publish.err bob.presence laptop.presence laptop.messages carol.messages; do
    echo "--- $file"
    tail -n 10 "$work/$file" 2>/dev/null
  done
  echo "--- $xmpp_server log (last lines)"
  xmpp_log_tail 8
  echo "---"
}

# The publisher's and carol's input. Opened for reading and writing, which
# waits for no reader; the programs started get neither: a reader would never
# see the end of its input.
mkfifo "$work/in" "$work/carol.in"
exec {feed}<>"$work/in" {carol}<>"$work/carol.in"
without_feeds() { "$@" {feed}>&- {carol}>&-; }
watch() {  # name, then vek-tune-watch's arguments after the server's
  local name=$1
  shift
  without_feeds start_process "$name" "$watcher" --server "127.0.0.1:$xmpp_port" --ca-file "$xmpp_ca" \
    --from alice@localhost "$@" >"$work/$name.out" 2>"$work/$name.err"
  wait_until 15 grep -qx ready "$work/$name.err" || die "$name did not log in"
}
has_line() { grep -Fxq -- "$2" "$work/$1" 2>/dev/null; }
has_match() { grep -Eq -- "$2" "$work/$1" 2>/dev/null; }

watch bob --jid bob@localhost --password-file "$work/bob.pass" --presence-log "$work/bob.presence" --verbose
# Until the server has bob's capabilities, it does not know he wants tunes.
wait_until 15 grep -q 'answered disco#info' "$work/bob.err" || die "the server did not ask bob what he supports"
without_feeds start_process --input "$work/carol.in" carol "$watcher" --jid carol@localhost --password-file "$work/carol.pass" \
  --server "127.0.0.1:$xmpp_port" --ca-file "$xmpp_ca" --from alice@localhost --message-log "$work/carol.messages" \
  --send-chats >/dev/null 2>"$work/carol.err"
wait_until 15 grep -qx ready "$work/carol.err" || die "carol did not log in"

without_feeds start_process --input "$work/in" publisher "$publisher" --jid alice@localhost/tunes \
  --password-file "$work/alice.pass" --server "127.0.0.1:$xmpp_port" --ca-file "$xmpp_ca" \
  >/dev/null 2>"$work/publish.err"

# --- the publisher alone on the account --------------------------------------
printf '%s\n' '{"state":"playing","fields":[["title","Alone"]],"length":1}' >&"$feed"
wait_until 15 has_line bob.out '{"length":"1","title":"Alone"}' || fail "bob did not get the tune published alone"
echo "alice@localhost Are you there?" >&"$carol"
# A chat no resource takes is refused; one handed to the publisher gets no answer.
wait_until 5 has_match carol.messages '^alice@localhost error service-unavailable$' ||
  fail "the chat to alice's bare address was not refused while only the publisher was logged in"

# --- the person's own client comes online ------------------------------------
watch laptop --jid alice@localhost/laptop --password-file "$work/alice.pass" --priority 0 \
  --presence-log "$work/laptop.presence" --message-log "$work/laptop.messages"
echo "alice@localhost Lunch?" >&"$carol"
wait_until 5 has_match laptop.messages '^carol@localhost/[^ ]+ chat Lunch\?$' ||
  fail "alice's own client did not get the chat to her bare address"
printf '%s\n' '{"state":"playing","fields":[["title","Beside"]],"length":2}' >&"$feed"
wait_until 15 has_line bob.out '{"length":"2","title":"Beside"}' ||
  fail "bob did not get the tune published beside alice's own client"

exec {feed}>&-
wait_process publisher 15
status=$?
case $status in
  0) ;;
  124) fail "the publisher did not end within 15 s of the end of its input" ;;
  *) fail "the publisher ended with status $status" ;;
esac
# Its going is the last presence of the publisher's resource: once both have
# seen it, they have seen every one.
for who in bob laptop; do
  wait_until 15 has_match "$who.presence" '^alice@localhost/tunes unavailable' ||
    fail "$who did not see the publisher go"
done
# bob seeing the laptop shows that the presence log records what arrives.
has_match bob.presence '^alice@localhost/laptop available 0$' || fail "bob did not see alice's own client online"
for who in bob laptop; do
  if awk '$1 == "alice@localhost/tunes" && $2 == "available" && $3 >= 0 { found = 1 } END { exit !found }' \
    "$work/$who.presence"; then
    fail "$who saw the publisher's resource available with a non-negative priority"
  fi
done
if has_match laptop.messages ' error '; then fail "alice's own client got an error"; fi
finish "presence on $xmpp_server"
