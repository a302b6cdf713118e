#!/usr/bin/env bash
# vek-tune-publish refuses what it cannot use before it connects anywhere:
# status 2, one line saying what is wrong and with what, then the synopsis.
#   command_line_test.sh PATH/vek-tune-publish
set -u
publisher=$1
# shellcheck source=tests/lib/scenario.sh
source "$(dirname "$0")/../lib/scenario.sh"
work=$(mktemp -d)
at_exit rm -rf "$work"
cd "$work" || die "cannot enter $work"
mkdir folder
printf 'secret\n' >pass && chmod 600 pass
printf 'not a certificate\n' >ca.txt

refused() {  # the first line expected, arguments...
  local want=$1
  shift
  env -u VEK_XMPP_PASSWORD "$publisher" "$@" </dev/null >out 2>err
  local status=$? first
  first=$(head -n 1 err)
  if [ $status -ne 2 ] || [ "$first" != "vek-tune-publish: $want" ] || [ -s out ] ||
    ! sed -n 2p err | grep -q '^usage: vek-tune-publish --jid'; then
    fail "$*: status $status" err out
  fi
}

# A directory opens as an empty stream: it must not pass for an empty file.
refused "cannot read the password file folder: Is a directory" --jid a@b --password-file folder
refused "cannot read the CA file folder: Is a directory" --jid a@b --password-file pass --ca-file folder
refused "cannot read the password file none: No such file or directory" --jid a@b --password-file none
refused "the CA file ca.txt holds no PEM certificate" --jid a@b --password-file pass --ca-file ca.txt
refused "no password: give --password-file FILE or set VEK_XMPP_PASSWORD" --jid a@b
# The refusal comes first, and the password is not echoed.
refused "a password is never taken from the command line: use --password-file or VEK_XMPP_PASSWORD" \
  --password hunter2 --jdi a@b
if grep -q hunter2 err; then fail "the password was echoed" err; fi
refused "--jid must have the form user@domain, not a@/r" --jid a@/r --password-file pass
refused "--jid is required (or VEK_XMPP_JID in the environment)" --password-file pass
# The service's settings come from the environment, and are checked alike.
VEK_XMPP_JID=a@/r refused "--jid must have the form user@domain, not a@/r" --password-file pass
VEK_XMPP_JID=a@b WINEPREFIX=$work/folder refused "--wine: $work/folder is not a Wine prefix: set WINEPREFIX to the player's" \
  --password-file pass --wine
refused "--check reads no states: it goes without --wine" --jid a@b --password-file pass --check --wine
refused "The following arguments were not expected: --jdi a@b" --jdi a@b --password-file pass
refused "--server: missing ']' in [::1" --jid a@b --password-file pass --server '[::1'
refused "--server: unexpected text after ']'" --jid a@b --password-file pass --server '[::1]x'
refused "--server: the port must be a number from 1 to 65535" --jid a@b --password-file pass --server h:65536
refused "--server: no host name" --jid a@b --password-file pass --server :5222

finish "vek-tune-publish's command line"
