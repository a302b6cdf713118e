# shellcheck shell=bash
# Sourced by the scenario scripts of the relays' user services, after
# tests/lib/scenario.sh (or tests/xmpp/prosody.sh, which brings it): the
# relays installed, a Wine prefix, and a unit started as systemd starts it.
#
#   service_install WORK            ./install.sh --prefix WORK/prefix
#   service_wine_prefix NAME        WINEPREFIX=build/NAME, made once and kept
#   wine_processes, no_wine         Wine's processes of the prefix ("PID COMMAND")
#   unit_value UNIT KEY             KEY's last value in the unit's [Service]
#   service_tune_settings WORK      alice's settings file (after xmpp_start)
#   service_environment UNIT CONFIG [VAR=VALUE...]
#                                   the environment systemd gives the unit's
#                                   program, with CONFIG as XDG_CONFIG_HOME

service_install() {
  echo "==> installing into $1/prefix"
  ./install.sh --prefix "$1/prefix" >"$1/install.log" 2>&1 || die "install.sh failed" "$1/install.log"
}

service_wine_prefix() {
  export WINEPREFIX=$PWD/build/$1 WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "==> making the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
  fi
  wineserver -w
}

# Wine's loader or wineserver with the prefix in its environment (Wine's
# helpers belong to init once their parent has gone).
wine_processes() {
  local dir exe
  for dir in /proc/[0-9]*; do
    exe=$(readlink "$dir/exe" 2>/dev/null) || continue
    case "${exe##*/}" in wine*) ;; *) continue ;; esac
    tr '\0' '\n' 2>/dev/null <"$dir/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    echo "${dir#/proc/} $(cat "$dir/comm" 2>/dev/null)"
  done
}
no_wine() { [ -z "$(wine_processes)" ]; }

unit_value() {
  sed -n "/^\[Service\]/,/^\[/s/^$2=//p" "$1" | tail -n 1
}

# A user manager's own variables, then Environment= lines, then the
# EnvironmentFile= (which overrides them), one VAR=VALUE a line.
service_environment() {
  local unit=$1 config=$2 line file
  shift 2
  printf '%s\n' "HOME=$HOME" "PATH=/usr/local/bin:/usr/bin:/bin" "XDG_CONFIG_HOME=$config" "$@"
  sed -n '/^\[Service\]/,/^\[/s/^Environment=//p' "$unit"
  file=$(unit_value "$unit" EnvironmentFile)
  file=${file#-}
  file=${file//%E/$config}
  file=${file//%h/$HOME}
  [ -f "$file" ] || return 0
  while IFS= read -r line; do
    case "$line" in '' | '#'* | ';'*) continue ;; esac
    printf '%s\n' "$line"
  done <"$file"
}

# vek-tune-publish's settings for alice at the private server, as a user
# writes them: WORK/config/vek-ipc/tune-publish.env and her password file.
# shellcheck disable=SC2154 # xmpp_port and xmpp_ca come from tests/xmpp/prosody.sh
service_tune_settings() {
  (umask 077 && echo alice-pass >"$1/alice.pass")
  mkdir -p "$1/config/vek-ipc"
  cat >"$1/config/vek-ipc/tune-publish.env" <<SETTINGS
# Written by the test, as a user would.
VEK_XMPP_JID=alice@localhost
VEK_XMPP_PASSWORD_FILE=$1/alice.pass
VEK_XMPP_SERVER=127.0.0.1:$xmpp_port
VEK_XMPP_CA_FILE=$xmpp_ca
WINEPREFIX=$WINEPREFIX
SETTINGS
}
