#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds the component
# and its tools for 32-bit Windows, and runs them under Wine. A player
# stand-in loads foo_vek_ipc.dll and plays a sample playlist while two
# readers in other processes watch the window title: one prints each state as
# JSON, the other the XMPP User Tune payload the messaging side would publish.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
vek_ensure_deps

echo "==> building (win32 preset: MinGW-w64 i686, Universal CRT)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target foo_vek_ipc vek-player vek-ipc-read package_component | tail -n 1

bin=build/win32/bin
run=cmake/wine-run
playlist=${1:-tools/player/sample.playlist}

# Start Wine once so that the readers and the player share a warm prefix.
"$run" "$bin/vek-ipc-read.exe" >/dev/null 2>&1 || true

readers=()
start_reader() {  # prefix, arguments...
  local prefix=$1
  shift
  ( exec "$run" "$bin/vek-ipc-read.exe" --watch "$@" ) > >(sed -u "s/^/$prefix /") 2>&1 &
  readers+=($!)
}
stop_readers() {
  for pid in "${readers[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  wait "${readers[@]}" 2>/dev/null || true
}
trap stop_readers EXIT

echo "==> readers watching the IPC window; player starting on $playlist"
start_reader "[json]"
start_reader "[tune]" --tune
sleep 1

"$run" "$bin/vek-player.exe" "$playlist" 2>&1 | sed -u 's/^/[player] /'
sleep 0.5  # let the readers see the window go
stop_readers
trap - EXIT
echo "==> done; the installable component is build/win32/foo_vek_ipc.fb2k-component"
