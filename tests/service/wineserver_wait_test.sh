#!/bin/bash
# vek-wineserver-wait against a wineserver in upstream Wine's layout
# (/tmp/.wine-UID/server-DEV-INODE), which Debian's Wine does not use: a
# stand-in binds the socket and holds the lock as wineserver does. Debian's
# layout is met by the real wineserver in scripts/test-service-idle.sh.
# A killed server leaves its socket behind: that is not a running server.
# usage: wineserver_wait_test.sh VEK-WINESERVER-WAIT
# shellcheck disable=SC2317 # functions called through wait_until
set -u
here=$(dirname "$0")
# shellcheck source=tests/lib/scenario.sh
source "$here/../lib/scenario.sh"
waiter=$1
work=$(mktemp -d)
at_exit rm -rf "$work"
prefix=$work/prefix
mkdir "$prefix"
read -r device inode < <(stat -c '%d %i' "$prefix")
folder=/tmp/.wine-$(id -u)/$(printf 'server-%x-%x' "$device" "$inode")
at_exit rm -rf "$folder"

# What wineserver does: the folder, the lock held, then the socket.
stand_in() {
  exec python3 -c '
import fcntl, os, socket, sys, time
os.makedirs(sys.argv[1], mode=0o700, exist_ok=True)
lock = os.open(sys.argv[1] + "/lock", os.O_CREAT | os.O_WRONLY, 0o600)
fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB, 1)
path = sys.argv[1] + "/socket"
if os.path.exists(path): os.unlink(path)
socket.socket(socket.AF_UNIX).bind(path)
time.sleep(3600)' "$folder"
}

"$waiter" stopped --prefix "$prefix" || fail "stopped: no server, but status $?"
start_process running "$waiter" running --prefix "$prefix" --print-absent >"$work/running.out"
sleep 1
running running || fail "running: returned with no server ($(cat "$work/running.out"))"
[ "$(cat "$work/running.out")" = '{"state":"absent"}' ] || fail "running --print-absent printed: $(cat "$work/running.out")"
start_process server stand_in
wait_process running 5 || fail "running: not done within 5 s of the server's start"

"$waiter" stopped --prefix "$prefix" --timeout 0.3
[ $? -eq 3 ] || fail "stopped --timeout: not status 3 while the server runs"
start_process stopped "$waiter" stopped --prefix "$prefix"
sleep 0.5
stop_process server KILL
wait_process stopped 5 || fail "stopped: not done within 5 s of the server's end"
[ -S "$folder/socket" ] || fail "the stand-in's socket is gone: the stale case is not met"

# The stale socket alone is no server; the next server is.
start_process running "$waiter" running --prefix "$prefix"
sleep 1
running running || fail "running: took a stale socket for a server"
start_process server stand_in
wait_process running 5 || fail "running: not done within 5 s of the next server's start"
finish wineserver_wait_test
