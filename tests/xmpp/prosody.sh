# shellcheck shell=bash
# Sourced by the XMPP tests and by ./demo.sh (which runs under set -e): a
# private Prosody on 127.0.0.1 for clients only, with its own configuration,
# data, log and self-signed certificate for "localhost" in a temporary
# directory, run in the foreground as a child of the test. Accounts listed in
# one group see each other's presence without subscribing. Every wait is
# bounded; when the test ends, the server is stopped and the directory
# removed. It brings the scenario library (tests/lib/scenario.sh) along.
#
#   xmpp_setup                  directory, certificates, configuration
#   xmpp_start                  start on a free port and wait until it accepts
#   xmpp_add_account NAME PASS  NAME@localhost, in the shared group
#   xmpp_stop                   stop and wait for the process
#   xmpp_restart_same           start again on the same port and data
#   xmpp_log_tail [N]           the last lines of the server's log
#
# After xmpp_setup: xmpp_server (its name), xmpp_dir, xmpp_ca (the server's certificate, to trust),
# xmpp_other_ca (an unrelated self-signed certificate for the same name);
# after xmpp_start: xmpp_port, xmpp_pid.

# shellcheck disable=SC2034 # for the tests that source this file
xmpp_server=prosody
xmpp_dir="" xmpp_port="" xmpp_pid="" xmpp_ca="" xmpp_other_ca=""

# Prosody refuses to run as root: as root it and prosodyctl run as the
# "prosody" user, which owns the directory.
# shellcheck source=tests/xmpp/fixture.sh
source "$(dirname "${BASH_SOURCE[0]}")/fixture.sh"
xmpp_run_as_user prosody

xmpp_log_tail() { tail -n "${1:-30}" "$xmpp_dir/prosody.log" 2>/dev/null; }

xmpp_setup() {
  command -v prosody >/dev/null && command -v prosodyctl >/dev/null || xmpp_fail "prosody is not installed" || return
  xmpp_make_dir vek-xmpp || return
  mkdir -p "$xmpp_dir/data" "$xmpp_dir/certs"
  xmpp_make_certificate certs/localhost && xmpp_make_certificate other || return
  # shellcheck disable=SC2034 # for the tests that source this file
  xmpp_ca="$xmpp_dir/certs/localhost.crt"
  # shellcheck disable=SC2034
  xmpp_other_ca="$xmpp_dir/other.crt"
  echo "[contacts]" >"$xmpp_dir/groups.txt"
  : >"$xmpp_dir/prosody.log"
  xmpp_write_config
  if [ "$(id -u)" -eq 0 ]; then
    chown -R prosody:prosody "$xmpp_dir"
    chmod 755 "$xmpp_dir"
  fi
}

xmpp_write_config() {
  cat >"$xmpp_dir/prosody.cfg.lua" <<EOF
-- Test server: clients on 127.0.0.1:$xmpp_port only, everything kept in $xmpp_dir.
data_path = "$xmpp_dir/data"
log = { debug = "$xmpp_dir/prosody.log" }
interfaces = { "127.0.0.1" }
c2s_ports = { $xmpp_port }
c2s_direct_tls_ports = { }
s2s_ports = { }
modules_enabled = { "roster", "saslauth", "tls", "disco", "pep", "presence", "groups" }
modules_disabled = { "s2s", "s2s_auth_certs", "offline" }
c2s_require_encryption = true
authentication = "internal_hashed"
storage = "internal"
groups_file = "$xmpp_dir/groups.txt"
certificates = "$xmpp_dir/certs"
VirtualHost "localhost"
EOF
  [ "$(id -u)" -ne 0 ] || chown prosody:prosody "$xmpp_dir/prosody.cfg.lua"
}

# Starts the server on xmpp_port and waits (15 s at most) until the port
# accepts connections. Fails if the process ends; status 2 if it cannot take
# the port.
xmpp_launch() {
  xmpp_log_start=$(wc -l <"$xmpp_dir/prosody.log")
  HOME=$xmpp_dir start_process prosody "${xmpp_as_server_user[@]}" prosody -F --config "$xmpp_dir/prosody.cfg.lua" \
    >>"$xmpp_dir/prosody.out" 2>&1
  xmpp_pid=$!
  if ! wait_until 15 prosody_settled; then
    xmpp_stop
    xmpp_fail "prosody did not accept connections on port $xmpp_port within 15 s"
  elif ! running prosody; then
    xmpp_stop
    xmpp_fail "prosody ended during start"
    tail -n 20 "$xmpp_dir/prosody.out" >&2
    return 1
  elif prosody_port_taken; then
    xmpp_stop
    return 2
  fi
}
prosody_port_taken() {
  tail -n +"$((xmpp_log_start + 1))" "$xmpp_dir/prosody.log" | grep -q 'Failed to open server port'
}
prosody_settled() { ! running prosody || prosody_port_taken || xmpp_port_open "$xmpp_port"; }

xmpp_choose_ports() { xmpp_port=$(xmpp_free_port); }
xmpp_started() { :; }

xmpp_add_account() {  # name password
  # The group is read when the server starts: add every account before xmpp_start.
  echo "$1@localhost" >>"$xmpp_dir/groups.txt"
  HOME=$xmpp_dir "${xmpp_as_server_user[@]}" timeout 20 prosodyctl --config "$xmpp_dir/prosody.cfg.lua" register "$1" localhost "$2" >>"$xmpp_dir/prosodyctl.out" 2>&1 ||
    { xmpp_fail "could not create $1@localhost"; tail -n 5 "$xmpp_dir/prosodyctl.out" >&2; return 1; }
}
