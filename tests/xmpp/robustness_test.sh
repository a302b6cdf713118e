#!/usr/bin/env bash
# shellcheck disable=SC2317 # functions called through wait_until
# vek-tune-publish where things go wrong, against a private Prosody and two
# test-only peers on 127.0.0.1 (tests/xmpp/fake_peers.py): --check, a name
# that does not exist, a server that refuses STARTTLS, a title far over any
# server's stanza limit, and a relay that drops every session soon after
# login. Every wait is bounded.
#
#   robustness_test.sh PATH/vek-tune-publish PATH/vek-tune-watch
set -u
publisher=$1
watcher=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/xmpp/prosody.sh
source "$here/prosody.sh"
peers=(python3 "$here/fake_peers.py")

{ xmpp_setup && xmpp_add_account alice alice-secret && xmpp_add_account bob bob-secret && xmpp_start; } ||
  die "the private prosody did not start"
work=$xmpp_dir/robust
mkdir "$work"
umask 077
printf 'alice-secret\n' >"$work/alice.pass"
printf 'bob-secret\n' >"$work/bob.pass"
printf 'wrong\n' >"$work/wrong.pass"
server=127.0.0.1:$xmpp_port

start_peer() {  # name, fake_peers.py arguments after the port file: sets peer_port
  rm -f "$work/$1.port"
  start_process "$1" "${peers[@]}" "${@:2:1}" "$work/$1.port" "${@:3}" >"$work/$1.out" 2>&1
  wait_until 10 test -s "$work/$1.port" || { fail "the $1 did not start" "$work/$1.out" && return 1; }
  peer_port=$(cat "$work/$1.port")
}
# Standard input for runs that must not need any: open and silent, as a
# service's would be. A FIFO opened for reading and writing: no end comes
# while this test holds it.
mkfifo "$work/silent"
exec {silent}<>"$work/silent"
# One run that must end by itself within SECONDS: its status in $status, its
# time in $took_ms.
run_publisher() {  # SECONDS, arguments...
  local limit=$1 started
  shift
  started=$(now_ms)
  timeout "$limit" "$publisher" "$@" <&"$silent" >"$work/out" 2>"$work/err"
  status=$?
  took_ms=$(($(now_ms) - started))
}
expect_one_line() {  # status, line (glob), what
  # shellcheck disable=SC2053
  if [ "$status" -ne "$1" ] || [ "$(wc -l <"$work/err")" -ne 1 ] || [[ $(cat "$work/err") != $2 ]]; then
    fail "$3: expected status $1 and one line like '$2', got status $status" "$work/err"
  fi
}

# --- --check: the facts on success; the failure's status --------------------
run_publisher 15 --check --jid alice@localhost --password-file "$work/alice.pass" --server "$server" --ca-file "$xmpp_ca"
want="server:         127.0.0.1 port $xmpp_port (127.0.0.1:$xmpp_port)
TLS:            yes, the certificate is valid for the domain
certificate:    *CN*localhost*, issued by *, valid until *
authentication: accepted, bound as alice@localhost/?*
PEP:            offered (the account is a pubsub/pep service)"
# shellcheck disable=SC2053
[ "$status" -eq 0 ] && [ ! -s "$work/err" ] && [[ $(cat "$work/out") == $want ]] ||
  { fail "--check against the server: status $status" "$work/err" && cat "$work/out"; }
run_publisher 15 --check --jid alice@localhost --password-file "$work/wrong.pass" --server "$server" --ca-file "$xmpp_ca"
expect_one_line 3 "vek-tune-publish: authentication failed for alice@localhost: *" "--check with a wrong password"
[ ! -s "$work/out" ] || fail "--check printed findings for a failed login" "$work/out"

# --- a name that does not exist: said at once, naming the domain -------------
# The resolver may be out of reach: then the lookup's own failure is named.
run_publisher 20 --jid alice@no-such-domain.invalid --password-file "$work/alice.pass"
said="vek-tune-publish: cannot connect to alice@no-such-domain.invalid: the domain no-such-domain.invalid does not exist"
grep -q "cannot look up no-such-domain.invalid: " "$work/err" && said="*: cannot look up no-such-domain.invalid: *"
expect_one_line 5 "$said*" "an unresolvable domain"
[ "$took_ms" -lt 10000 ] || fail "an unresolvable domain took $took_ms ms to end"

# --- STARTTLS answered with <failure/>: the attempt ends at once -------------
if start_peer tls-refuser refuse-starttls 30; then
  run_publisher 20 --jid alice@localhost --password-file "$work/alice.pass" --server "127.0.0.1:$peer_port"
  expect_one_line 5 "vek-tune-publish: cannot connect to 127.0.0.1:$peer_port: the server refused to start TLS*" \
    "a refused STARTTLS"
  [ "$took_ms" -lt 5000 ] || fail "a refused STARTTLS took $took_ms ms to end"
fi

# --- a title far over the stanza limit: cut, and the session stays ----------
start_process watcher "$watcher" --jid bob@localhost --password-file "$work/bob.pass" --server "$server" \
  --ca-file "$xmpp_ca" --from alice@localhost --verbose >"$work/watch.out" 2>"$work/watch.err"
wait_until 15 grep -qx ready "$work/watch.err" || fail "the watcher did not log in" "$work/watch.err"
# Until the server has bob's capabilities, it does not know he wants tunes.
wait_until 15 grep -q 'answered disco#info' "$work/watch.err" ||
  fail "the server did not ask the watcher what it supports" "$work/watch.err"
rm -f "$work/in" && mkfifo "$work/in"
start_process --input "$work/in" publisher "$publisher" --jid alice@localhost --password-file "$work/alice.pass" \
  --server "$server" --ca-file "$xmpp_ca" --verbose >/dev/null 2>"$work/long.err"
exec {feed}>"$work/in"
# 150,000 characters of two, three and four bytes in UTF-8 (JSON escapes).
long_title=$(printf '\\u00e9\\u20ac\\ud834\\udd1e%.0s' $(seq 1 50000))
printf '{"state":"playing","fields":[["title","%s"],["artist","Long"]],"length":300}\n' "$long_title" >&"$feed"
wait_until 15 grep -q '"artist":"Long"' "$work/watch.out" || fail "the long title was not published" "$work/long.err"
printf '%s\n' '{"state":"playing","fields":[["title","Next"]],"length":61}' >&"$feed"
wait_until 15 grep -qxF '{"length":"61","title":"Next"}' "$work/watch.out" ||
  fail "the track after the long title was not published" "$work/watch.out"
# The title as bob got it: whole characters of the original, then the mark.
python3 - "$work/watch.out" <<'EOF' || fail "the long title was not cut on a character boundary" "$work/watch.out"
import json, sys
original = "\u00e9\u20ac\U0001d11e" * 50000
for line in open(sys.argv[1]):
    tune = json.loads(line)
    if tune.get("artist") != "Long":
        continue
    title = tune["title"]
    title.encode("utf-8")  # a split surrogate pair would not encode
    sys.exit(0 if title.endswith("\u2026") and original.startswith(title[:-1]) and 400 < len(title) < 4096 else 1)
sys.exit(1)
EOF
grep -Eq 'lost|reconnecting' "$work/long.err" && fail "the connection did not stay up" "$work/long.err"
exec {feed}>&-
wait_process publisher 15
[ $? -ne 124 ] || fail "the publisher did not end with its input" "$work/long.err"

# --- a relay that drops every session 2 s after it began --------------------
# Each session logs in, then dies: the waits must grow (1, 2, 4, 8 s ...), not
# start over at 1 s after every login. In 25 s that is 5 connections; starting
# over after each login would make 8.
window=25
if start_peer relay relay $((window + 5)) "$xmpp_port" 2; then
  timeout "$window" "$publisher" --jid alice@localhost --password-file "$work/alice.pass" \
    --server "127.0.0.1:$peer_port" --ca-file "$xmpp_ca" --verbose <&"$silent" 2>"$work/relay.err"
  connections=$(grep -c accepted "$work/relay.out")
  logins=$(grep -c ' connected to ' "$work/relay.err")
  [ "$connections" -ge 3 ] && [ "$connections" -le 6 ] ||
    fail "the relay saw $connections connections in $window s" "$work/relay.err"
  [ "$logins" -ge 3 ] || fail "only $logins sessions logged in through the relay" "$work/relay.err"
  grep -q 'reconnecting in 8 s' "$work/relay.err" || fail "the waits did not grow to 8 s" "$work/relay.err"
fi

finish "tune publish robustness"
