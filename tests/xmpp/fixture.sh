# shellcheck shell=bash
# What the private servers' fixtures (prosody.sh, ejabberd.sh) share, sourced
# by each after it has set xmpp_server; each defines xmpp_launch, which starts
# its server on xmpp_port as the process named $xmpp_server (tests/lib's
# start_process). It brings the scenario library along.
#
#   xmpp_run_as_user USER       sets xmpp_as_server_user: as root, USER runs
#                               the server and its control commands
#   xmpp_make_dir PREFIX        the temporary directory, removed at exit with
#                               the server stopped first
#   xmpp_make_certificate NAME  a self-signed certificate and key for localhost
#   xmpp_port_open PORT         whether something listens on 127.0.0.1:PORT
#   xmpp_free_port              a port nothing listens on
#   xmpp_restart_same           starts the server again on the same port and data
#   xmpp_stop                   stops it (SIGTERM, SIGKILL after 10 s) and waits

# shellcheck disable=SC2154,SC2034 # xmpp_server comes from the fixture; xmpp_as_server_user is for it

# shellcheck source=tests/lib/scenario.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/scenario.sh"

xmpp_fail() {
  echo "$xmpp_server fixture: $*" >&2
  return 1
}

# The server ends with the test even when the test is killed outright: the
# prefix is executed, so that the server is itself the process the test holds,
# and it sets the signal after changing users, which would reset it.
xmpp_run_as_user() {
  xmpp_as_server_user=(setpriv --pdeathsig TERM --)
  [ "$(id -u)" -ne 0 ] ||
    xmpp_as_server_user=(setpriv --pdeathsig TERM --reuid="$1" --regid="$1" --init-groups --)
}

xmpp_make_dir() {
  xmpp_dir=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX") || return
  at_exit xmpp_cleanup
}

xmpp_cleanup() {
  xmpp_stop
  [ -z "$xmpp_dir" ] || rm -rf "$xmpp_dir"
  xmpp_dir=""
}

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
  stop_process "$xmpp_server"
  xmpp_pid=""
}
