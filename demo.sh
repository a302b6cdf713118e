#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds the component
# and its tools for 32-bit Windows, and runs them under Wine. The
# playlist player loads foo_vek_ipc.dll and plays a playlist (./demo.sh --help) while three
# readers in other processes watch the window title: one prints each state as
# JSON, one feeds vek-tune-publish (built for Linux), which publishes each
# change as an XMPP User Tune to a private Prosody on 127.0.0.1, where a second
# account, a contact of the first, prints what it receives, and one feeds
# vek-mpris, which shows each state as an MPRIS player on a private session
# bus, where playerctl prints what the desktop would see.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: ./demo.sh [-h | --help] [PLAYLIST]

Installs what is missing (as root, from Debian's archive), builds the
component and its programs with the release presets, and runs the whole
chain: vek-player under Wine plays PLAYLIST through foo_vek_ipc.dll while
vek-ipc-read, in other processes, watches the window title. One reader prints
each state as JSON ([json]); one feeds vek-tune-publish ([xmpp]), which
publishes each change as an XMPP User Tune to a private Prosody on 127.0.0.1,
where a contact prints what it receives ([contact sees]); one feeds vek-mpris
([mpris]), an MPRIS media player on a private session bus, where playerctl
prints what the desktop sees ([desktop sees]).

  PLAYLIST    the playlist vek-player plays (default:
              programs/player/sample.playlist); the format is described in
              programs/player/PLAYLIST.md
  -h, --help  print this help and exit

Its last line names the installable component package it built.

Exit status: 0 the demo ran; 1 an installation, a build or a program failed;
2 usage: an unknown argument, or a playlist that cannot be read or
vek-player finds faulty.
EOF
}
playlist=""
ended_options=0
for arg; do
  if [ $ended_options = 0 ]; then
    case "$arg" in
      -h | --help) usage; exit 0 ;;
      --) ended_options=1; continue ;;
      -?*) echo "demo.sh: unknown argument '$arg'" >&2; usage >&2; exit 2 ;;
    esac
  fi
  if [ -n "$playlist" ]; then
    echo "demo.sh: unexpected argument '$arg' (one playlist at most)" >&2
    usage >&2
    exit 2
  fi
  playlist=$arg
done
if [ -n "$playlist" ]; then
  # Named from the caller's directory; the demo runs from the project's.
  [ -e "$playlist" ] || { echo "demo.sh: no such playlist: $playlist" >&2; exit 2; }
  { [ -f "$playlist" ] && [ -r "$playlist" ]; } ||
    { echo "demo.sh: cannot read the playlist $playlist: not a readable file" >&2; exit 2; }
  playlist=$(realpath -- "$playlist")
fi
cd "$(dirname "$0")"
playlist=${playlist:-programs/player/sample.playlist}
# Every program it starts ends with it, however it ends.
source tests/lib/scenario.sh

source scripts/deps.sh
vek_ensure_deps demo || die "dependency installation failed"

build() {  # preset, description, targets...
  echo "==> building $2 ($1 preset)"
  build_preset "$1" "build/$1.demo-build.log" "${@:3}"
}
build win32-release "the component and its programs for 32-bit Windows" \
  foo_vek_ipc vek-player vek-ipc-read package_component
build linux-release "the XMPP publisher, the test contact and the MPRIS relay for Linux" \
  vek-tune-publish vek-tune-watch vek-mpris

bin=build/win32-release/bin
run=cmake/wine-run
# Start Wine once so that the readers and the player share a warm prefix.
"$run" "$bin/vek-ipc-read.exe" >/dev/null 2>&1 || true

# A private XMPP server with two accounts that see each other's presence:
# alice publishes, bob is the contact.
echo "==> starting a private Prosody on 127.0.0.1"
source tests/xmpp/prosody.sh
{ xmpp_setup && xmpp_add_account alice alice-demo && xmpp_add_account bob bob-demo && xmpp_start; } ||
  die "the private Prosody did not start"
(umask 077 && echo alice-demo >"$xmpp_dir/alice.pass" && echo bob-demo >"$xmpp_dir/bob.pass")
native=build/linux-release/bin
xmpp_args=(--server "127.0.0.1:$xmpp_port" --ca-file "$xmpp_ca")
# What the demo shows also goes to files here, where it sees each part ready
# and the last state arrive.
seen=$xmpp_dir/seen
mkdir "$seen"

readers=()
start_reader() {  # name, arguments...: its lines go to standard output, and to seen/NAME
  local name=$1
  shift
  start_process "$name" "$run" "$bin/vek-ipc-read.exe" --watch "$@" > >(tee "$seen/$name")
  readers+=("$name")
}
last_line_is() { [ "$(tail -n 1 "$1" 2>/dev/null | tr -d '\r')" = "$2" ]; }  # Windows programs end lines with CR LF
readers_show() {  # the last line of every reader
  local name
  for name in "${readers[@]}"; do last_line_is "$seen/$name" "$1" || return; done
}

start_process contact "$native/vek-tune-watch" --jid bob@localhost --password-file "$xmpp_dir/bob.pass" \
  "${xmpp_args[@]}" --from alice@localhost > >(tee "$seen/contact" | sed -u "s/^/[contact sees] /") \
  2>"$seen/contact.err"
# A reader's lines go to the publisher, which says what it publishes and
# when; it ends by itself, publishing the empty tune, when the reader ends.
mkfifo "$xmpp_dir/states"
start_process --input "$xmpp_dir/states" publisher "$native/vek-tune-publish" --jid alice@localhost \
  --password-file "$xmpp_dir/alice.pass" "${xmpp_args[@]}" --verbose \
  2> >(tee "$seen/publisher" | sed -u "s/^vek-tune-publish: /[xmpp] /")
start_reader to-xmpp >"$xmpp_dir/states"

# A private session bus, where vek-mpris owns its name while the player runs
# and playerctl follows what it shows, as a desktop panel would.
echo "==> starting a private session bus"
start_process bus dbus-daemon --session --nofork --address="unix:path=$xmpp_dir/bus" --print-address=3 \
  3>"$xmpp_dir/bus-address" 2>/dev/null
wait_until 10 test -s "$xmpp_dir/bus-address" || die "dbus-daemon did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$xmpp_dir/bus-address")
export DBUS_SESSION_BUS_ADDRESS
start_process desktop playerctl -p vek_ipc --follow metadata --format '{{artist}} - {{title}}' \
  > >(tee "$seen/desktop" | sed -u -e 's/^$/(nothing playing)/' -e 's/^/[desktop sees] /') 2>/dev/null
mkfifo "$xmpp_dir/mpris-states"
start_process --input "$xmpp_dir/mpris-states" mpris "$native/vek-mpris" --verbose \
  2> >(sed -u "s/^vek-mpris: /[mpris] /")
start_reader to-mpris >"$xmpp_dir/mpris-states"

echo "==> readers watching the IPC window; player starting on $playlist"
start_reader json > >(sed -u "s/^/[json] /") 2>&1
# The player starts once every reader watches (Wine's start is slow on a
# busy machine), the contact is logged in and the publisher connected.
wait_until 60 readers_show '{"state":"absent"}' || die "the readers did not start"
wait_until 30 grep -qx ready "$seen/contact.err" || die "the contact did not log in" "$seen/contact.err"
wait_until 30 grep -q ' connected to ' "$seen/publisher" || die "vek-tune-publish did not connect" "$seen/publisher"

status=0
"$run" "$bin/vek-player.exe" "$playlist" 2>&1 | sed -u 's/^/[player] /' || status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || echo "==> vek-player ended with status $status"
wait_until 30 readers_show '{"state":"absent"}' || echo "==> a reader did not see the player's window go"
# Ctrl+C, as Wine passes SIGINT on: each reader ends with status 0.
for name in "${readers[@]}"; do stop_process "$name" INT || true; done
publisher_status=0
wait_process publisher 30 || publisher_status=$?
if [ "$publisher_status" -ne 0 ]; then
  echo "==> vek-tune-publish ended with status $publisher_status"
  [ "$status" -ne 0 ] || status=1
elif ! wait_until 15 last_line_is "$seen/contact" '{}'; then
  echo "==> the contact did not get the empty tune that ends the session"
  [ "$status" -ne 0 ] || status=1
fi
mpris_status=0
wait_process mpris 30 || mpris_status=$?
if [ "$mpris_status" -ne 0 ]; then
  echo "==> vek-mpris ended with status $mpris_status"
  [ "$status" -ne 0 ] || status=1
fi
[ "$status" -eq 0 ] || exit "$status"
echo "==> done; the installable component package is $PWD/build/win32-release/foo_vek_ipc.fb2k-component"
