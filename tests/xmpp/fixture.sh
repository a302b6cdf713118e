# shellcheck shell=bash
# What the private servers' fixtures (prosody.sh, ejabberd.sh) share, sourced
# by each after it has set xmpp_server; each defines xmpp_launch, which starts
# its server on xmpp_port. And the tests' bounded wait.
#
#   xmpp_tied=(...)             runs a command so that it ends with the test
#   xmpp_run_as_user USER       sets xmpp_as_server_user: as root, USER runs
#                               the server and its control commands
#   xmpp_cleanup                kills the tracked processes, stops the server,
#                               removes the directory (the EXIT trap)
#   xmpp_track_pid PID          a process of the test, killed at exit
#   xmpp_make_certificate NAME  a self-signed certificate and key for localhost
#   xmpp_port_open PORT         whether something listens on 127.0.0.1:PORT
#   xmpp_free_port              a port nothing listens on
#   xmpp_restart_same           starts the server again on the same port and data
#   xmpp_stop                   stops it (SIGTERM, SIGKILL after 10 s) and waits
#   wait_until SECONDS CMD...   polls CMD until it succeeds; 1 when time is up

# shellcheck disable=SC2154,SC2034 # xmpp_server comes from the fixture; xmpp_as_server_user is for it

xmpp_fail() {
  echo "$xmpp_server fixture: $*" >&2
  return 1
}

# The server ends with the test even when the test is killed outright. The
# prefix is executed, not wrapped in a function, so that a server started in
# the background is itself the child whose id the test holds.
xmpp_tied=(setpriv --pdeathsig TERM --)  # also for the test's own background programs
xmpp_run_as_user() {
  xmpp_as_server_user=("${xmpp_tied[@]}")
  [ "$(id -u)" -ne 0 ] ||
    xmpp_as_server_user=(setpriv --pdeathsig TERM --reuid="$1" --regid="$1" --init-groups --)
}

xmpp_cleanup() {
  local pid
  for pid in $xmpp_tracked_pids; do
    kill "$pid" 2>/dev/null || true
  done
  xmpp_tracked_pids=""
  xmpp_stop
  [ -z "$xmpp_dir" ] || rm -rf "$xmpp_dir"
  xmpp_dir=""
}

xmpp_track_pid() { xmpp_tracked_pids="$xmpp_tracked_pids $1"; }

xmpp_make_certificate() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout "$xmpp_dir/$1.key" -out "$xmpp_dir/$1.crt" 2>/dev/null ||
    xmpp_fail "openssl could not make the certificate $1"
}

xmpp_port_open() { timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }

xmpp_free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    xmpp_port_open "$port" || { echo "$port"; return; }
  done
}

# Starts the server on free ports; another process may still take one before
# the server does, which xmpp_launch reports (status 2), and others are tried.
# Each server's file defines xmpp_choose_ports (false: choose again),
# xmpp_write_config, xmpp_launch and xmpp_started (what follows a start).
xmpp_start() {
  local status
  for _ in 1 2 3 4 5; do
    xmpp_choose_ports || continue
    xmpp_write_config
    xmpp_launch
    status=$?
    [ $status -eq 2 ] && continue
    [ $status -eq 0 ] || return $status
    xmpp_started
    return
  done
  xmpp_fail "no free port found"
}

xmpp_restart_same() {
  xmpp_launch || xmpp_fail "could not start again on port $xmpp_port"
}

xmpp_stop() {
  [ -n "$xmpp_pid" ] || return 0
  kill -TERM "$xmpp_pid" 2>/dev/null || true
  local deadline=$((SECONDS + 10))
  while kill -0 "$xmpp_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    sleep 0.1
  done
  kill -KILL "$xmpp_pid" 2>/dev/null || true
  wait "$xmpp_pid" 2>/dev/null || true
  xmpp_pid=""
}

now_ms() { local t=${EPOCHREALTIME//[.,]/}; echo $((t / 1000)); }

wait_until() {
  local deadline=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    [ "$(now_ms)" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
