# shellcheck shell=bash
# Sourced by the XMPP tests instead of prosody.sh, with the same functions and
# variables: a private ejabberd on 127.0.0.1 for clients only, with its own
# configuration, Mnesia spool, log folder, Erlang cookie and self-signed
# certificate for "localhost" in a temporary directory, run in the foreground
# as a child of the test; never the system's service, whose ports and node it
# leaves alone. Every account is a contact of every other one (subscription
# both). Every wait is bounded; when the test ends, the server is stopped and
# the directory removed. It brings the scenario library along.
#
#   xmpp_setup                  directory, certificates, configuration
#   xmpp_start                  start on free ports and wait until it serves
#   xmpp_add_account NAME PASS  NAME@localhost, a contact of the others
#   xmpp_stop                   stop and wait for the process (about 2 s)
#   xmpp_restart_same           start again on the same ports and spool
#   xmpp_log_tail [N]           the last lines of the server's log
#
# After xmpp_setup: xmpp_server (its name), xmpp_dir, xmpp_ca (the server's
# certificate, to trust), xmpp_other_ca (an unrelated self-signed certificate
# for the same name); after xmpp_start: xmpp_port, xmpp_pid.
#
# The limits are Debian's defaults (262144-byte stanzas, the "normal" shaper of
# 3000 bytes a second for every user), so that tests meet what users meet.

# shellcheck disable=SC2034 # for the tests that source this file
xmpp_server=ejabberd
xmpp_dir="" xmpp_port="" xmpp_pid="" xmpp_ca="" xmpp_other_ca=""
# Erlang distribution, which the control commands use: a port of its own, on
# the loopback, without epmd (which would outlive the test), and a node name
# of its own (the spool is bound to it, so it stays across restarts).
xmpp_dist_port="" xmpp_node="" xmpp_pending_accounts=() xmpp_accounts=()
# Where the package keeps ejabberd's Erlang applications, as ejabberdctl knows.
xmpp_erl_libs=$(sed -n "s/^ERL_LIBS='\(.*\)'\$/\1/p" /usr/sbin/ejabberdctl 2>/dev/null)

# As root the server and its control commands run as the "ejabberd" user, which
# owns the directory. The server ends with the test even when the test is
# killed outright: the prefix is executed, so that the process the test holds
# (erl execs into the Erlang VM) is the server itself.
# shellcheck source=tests/xmpp/fixture.sh
source "$(dirname "${BASH_SOURCE[0]}")/fixture.sh"
xmpp_run_as_user ejabberd

xmpp_log_tail() { tail -n "${1:-30}" "$xmpp_dir/log/ejabberd.log" 2>/dev/null; }

xmpp_setup() {
  command -v erl >/dev/null && [ -n "$xmpp_erl_libs" ] && compgen -G "$xmpp_erl_libs/ejabberd-*" >/dev/null ||
    xmpp_fail "ejabberd is not installed" || return
  xmpp_make_dir vek-ejabberd || return
  mkdir -p "$xmpp_dir/spool" "$xmpp_dir/log" "$xmpp_dir/certs"
  xmpp_make_certificate certs/localhost && xmpp_make_certificate other || return
  cat "$xmpp_dir/certs/localhost.crt" "$xmpp_dir/certs/localhost.key" >"$xmpp_dir/certs/localhost.pem"
  # shellcheck disable=SC2034 # for the tests that source this file
  xmpp_ca="$xmpp_dir/certs/localhost.crt"
  # shellcheck disable=SC2034
  xmpp_other_ca="$xmpp_dir/other.crt"
  (umask 077 && od -An -N18 -tx1 /dev/urandom | tr -d ' \n' >"$xmpp_dir/.erlang.cookie") || return
  # Erlang resolves "localhost" (the node's host) from this file, not from DNS.
  printf '{lookup,["file","native"]}.\n{host,{127,0,0,1}, ["localhost"]}.\n' >"$xmpp_dir/inetrc"
  xmpp_node="vek$$-$RANDOM@localhost"
  xmpp_pending_accounts=() xmpp_accounts=()
  : >"$xmpp_dir/log/ejabberd.log"
  if [ "$(id -u)" -eq 0 ]; then
    chown -R ejabberd:ejabberd "$xmpp_dir"
    chmod 755 "$xmpp_dir"
  fi
}

xmpp_write_config() {
  cat >"$xmpp_dir/ejabberd.yml" <<EOF
# Test server: clients on 127.0.0.1:$xmpp_port only, everything kept in $xmpp_dir.
hosts: [localhost]
loglevel: info
log_rotate_count: 0
certfiles: ["$xmpp_dir/certs/localhost.pem"]
listen:
  - port: $xmpp_port
    ip: "127.0.0.1"
    module: ejabberd_c2s
    max_stanza_size: 262144
    shaper: c2s_shaper
    access: c2s
    starttls_required: true
auth_password_format: scram
acl:
  local:
    user_regexp: ""
access_rules:
  c2s:
    allow: all
  pubsub_createnode:
    allow: local
api_permissions:
  "console commands":
    from: [ejabberd_ctl]
    who: all
    what: "*"
shaper:
  normal:
    rate: 3000
    burst_size: 20000
shaper_rules:
  c2s_shaper:
    normal: all
modules:
  mod_admin_extra: {}
  mod_caps: {}
  mod_disco: {}
  mod_pubsub:
    access_createnode: pubsub_createnode
    plugins: [flat, pep]
  mod_roster: {}
  mod_stream_mgmt: {}
EOF
  [ "$(id -u)" -ne 0 ] || chown ejabberd:ejabberd "$xmpp_dir/ejabberd.yml"
}

# The environment and arguments ejabberdctl would give the Erlang VM, for this
# directory; HOME is where Erlang reads the cookie. Called in a subshell, which
# it becomes: NODE-NAME, then arguments for erl.
xmpp_erl() {
  cd "$xmpp_dir/spool" || exit
  exec env HOME="$xmpp_dir" ERL_LIBS="$xmpp_erl_libs" ERL_INETRC="$xmpp_dir/inetrc" \
    EJABBERD_CONFIG_PATH="$xmpp_dir/ejabberd.yml" EJABBERD_LOG_PATH="$xmpp_dir/log/ejabberd.log" \
    ERL_CRASH_DUMP="$xmpp_dir/log/erl_crash.dump" ERL_CRASH_DUMP_BYTES=0 \
    "${xmpp_as_server_user[@]}" "${xmpp_erl_prefix[@]}" erl -sname "$1" -erl_epmd_port "$xmpp_dist_port" \
    -start_epmd false -kernel inet_dist_use_interface '{127,0,0,1}' "${@:2}"
}
xmpp_erl_prefix=()

# ejabberdctl's command line client, run directly so that it needs neither su
# nor the system's configuration: COMMAND ARGUMENTS... against this instance.
xmpp_ctl() {
  (
    xmpp_erl_prefix=(timeout 30)
    xmpp_erl "ctl$$-$RANDOM@localhost" -hidden -noinput -dist_listen false -s ejabberd_ctl -extra "$xmpp_node" "$@"
  ) </dev/null >>"$xmpp_dir/ejabberdctl.out" 2>&1
}

# Starts the server on xmpp_port and waits (60 s at most: a busy machine
# slows the Erlang VM's start) until it has started every module. Fails if
# the process ends; status 2 if a port was taken.
xmpp_launch() {
  xmpp_log_start=$(wc -l <"$xmpp_dir/log/ejabberd.log")
  : >"$xmpp_dir/ejabberd.out"
  start_process ejabberd xmpp_erl "$xmpp_node" +K true -noinput -mnesia dir "\"$xmpp_dir/spool\"" -s ejabberd \
    >>"$xmpp_dir/ejabberd.out" 2>&1
  xmpp_pid=$!
  if ! wait_until 60 ejabberd_settled; then
    xmpp_stop
    xmpp_fail "ejabberd did not start on port $xmpp_port within 60 s"
  elif grep -q eaddrinuse "$xmpp_dir/ejabberd.out" "$xmpp_dir/log/ejabberd.log"; then
    xmpp_stop
    return 2
  elif ! running ejabberd; then
    xmpp_stop
    xmpp_fail "ejabberd ended during start"
    tail -n 20 "$xmpp_dir/ejabberd.out" >&2
    return 1
  fi
}
ejabberd_log_since_start() { tail -n +"$((xmpp_log_start + 1))" "$xmpp_dir/log/ejabberd.log"; }
ejabberd_settled() {
  ! running ejabberd || grep -q eaddrinuse "$xmpp_dir/ejabberd.out" || ejabberd_log_since_start | grep -q eaddrinuse ||
    { ejabberd_log_since_start | grep -q 'is started in the node' && xmpp_port_open "$xmpp_port"; }
}

# The client port and Erlang's distribution port, which must differ.
xmpp_choose_ports() {
  xmpp_port=$(xmpp_free_port)
  xmpp_dist_port=$(xmpp_free_port)
  [ "$xmpp_dist_port" != "$xmpp_port" ]
}
# The accounts wait for the running server.
xmpp_started() {
  local account
  for account in "${xmpp_pending_accounts[@]}"; do
    xmpp_create_account "${account%% *}" "${account#* }" || return
  done
  xmpp_pending_accounts=()
}

xmpp_create_account() {  # name password
  local other
  xmpp_ctl register "$1" localhost "$2" ||
    { xmpp_fail "could not create $1@localhost"; tail -n 5 "$xmpp_dir/ejabberdctl.out" >&2; return 1; }
  for other in "${xmpp_accounts[@]}"; do
    if ! xmpp_ctl add_rosteritem "$1" localhost "$other" localhost "$other" contacts both ||
      ! xmpp_ctl add_rosteritem "$other" localhost "$1" localhost "$1" contacts both; then
      xmpp_fail "could not make $1 and $other contacts"
      tail -n 5 "$xmpp_dir/ejabberdctl.out" >&2
      return 1
    fi
  done
  xmpp_accounts+=("$1")
}

xmpp_add_account() {  # name password
  # Made through the running server: before xmpp_start, when it has started.
  if [ -n "$xmpp_pid" ]; then
    xmpp_create_account "$1" "$2"
  else
    xmpp_pending_accounts+=("$1 $2")
  fi
}
