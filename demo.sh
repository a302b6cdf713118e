#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds the component
# and its tools for 32-bit Windows, and runs them under Wine. A player
# stand-in loads foo_vek_ipc.dll and plays a sample playlist while two
# readers in other processes watch the window title: one prints each state as
# JSON, the other feeds vek-tune-publish (built for Linux), which publishes
# each change as an XMPP User Tune to a private Prosody on 127.0.0.1, where a
# second account, a contact of the first, prints what it receives.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
vek_ensure_deps

echo "==> building (win32 preset: MinGW-w64 i686, Universal CRT)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target foo_vek_ipc vek-player vek-ipc-read package_component | tail -n 1
echo "==> building the XMPP publisher (native preset)"
cmake --preset native >/dev/null
cmake --build --preset native --target vek-tune-publish vek-tune-watch | tail -n 1

bin=build/win32/bin
run=cmake/wine-run
playlist=${1:-tools/player/sample.playlist}

# Start Wine once so that the readers and the player share a warm prefix.
"$run" "$bin/vek-ipc-read.exe" >/dev/null 2>&1 || true

# A private XMPP server with two accounts that see each other's presence:
# alice publishes, bob is the contact.
echo "==> starting a private Prosody on 127.0.0.1"
source tests/xmpp/prosody.sh
xmpp_setup && xmpp_add_account alice alice-demo && xmpp_add_account bob bob-demo && xmpp_start
(umask 077 && echo alice-demo >"$xmpp_dir/alice.pass" && echo bob-demo >"$xmpp_dir/bob.pass")
native=build/native/tools
xmpp_args=(--server "127.0.0.1:$xmpp_port" --ca-file "$xmpp_ca")

readers=()
start_reader() {  # prefix (none: plain output), arguments...
  local prefix=$1
  shift
  if [ -n "$prefix" ]; then
    ( exec "$run" "$bin/vek-ipc-read.exe" --watch "$@" ) > >(sed -u "s/^/$prefix /") 2>&1 &
  else
    ( exec "$run" "$bin/vek-ipc-read.exe" --watch "$@" ) &
  fi
  readers+=($!)
}
stop_readers() {
  for pid in "${readers[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  wait "${readers[@]}" 2>/dev/null || true
}
trap 'stop_readers; xmpp_cleanup' EXIT

"${xmpp_tied[@]}" "$native/tune_watch/vek-tune-watch" --jid bob@localhost --password-file "$xmpp_dir/bob.pass" \
  "${xmpp_args[@]}" --from alice@localhost > >(sed -u "s/^/[contact sees] /") 2>/dev/null &
xmpp_track_pid $!
# A reader's lines go to the publisher, which says what it publishes and
# when; it ends by itself, publishing the empty tune, when the reader ends.
mkfifo "$xmpp_dir/states"
"$native/tune_publish/vek-tune-publish" --jid alice@localhost --password-file "$xmpp_dir/alice.pass" \
  "${xmpp_args[@]}" --verbose <"$xmpp_dir/states" 2> >(sed -u "s/^vek-tune-publish: /[xmpp] /") &
publisher=$!
start_reader "" >"$xmpp_dir/states"

echo "==> readers watching the IPC window; player starting on $playlist"
start_reader "[json]"
sleep 2

"$run" "$bin/vek-player.exe" "$playlist" 2>&1 | sed -u 's/^/[player] /'
sleep 2  # let the readers see the window go, and the last tune arrive
stop_readers
wait "$publisher" || echo "==> vek-tune-publish ended with status $?"
sleep 0.5
xmpp_cleanup
trap - EXIT
echo "==> done; the installable component is build/win32/foo_vek_ipc.fb2k-component"
