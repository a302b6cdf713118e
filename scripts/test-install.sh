#!/usr/bin/env bash
# ./install.sh for a user whose home is a temporary folder: refuses to
# overwrite a file of the user's, installs into ~/.local and the user's
# systemd folder, every installed program answers --version (the Windows ones
# under Wine), the unit names real paths, a second install replaces the
# first, and --uninstall removes all of it and nothing of the user's.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
work=$(mktemp -d "${TMPDIR:-/tmp}/vek-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
home=$work/home
prefix=$home/.local
unit=$home/.config/systemd/user/vek-tune-publish.service
mpris_unit=$home/.config/systemd/user/vek-mpris.service
version=$(sed -nE 's/^project\(.* VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
export WINEDEBUG=-all VEK_WINEPREFIX=$root/build/wineprefix-service
run_install() { HOME=$home XDG_CONFIG_HOME="" ./install.sh "$@" >"$work/out" 2>&1; }

# The command line.
./install.sh --help >"$work/out" 2>&1 && grep -q '^usage: ./install.sh' "$work/out" || fail "--help: $(cat "$work/out")"
./install.sh --frobnicate >"$work/out" 2>&1
status=$?
{ [ $status -eq 2 ] && head -n 1 "$work/out" | grep -q -- '--frobnicate' && grep -q '^usage:' "$work/out"; } ||
  fail "an unknown option: status $status, $(head -n 2 "$work/out")"
./install.sh --uninstall --prefix "$work/empty" >"$work/out" 2>&1
status=$?
{ [ $status -eq 1 ] && grep -q 'nothing to uninstall' "$work/out"; } || fail "uninstalling nothing: status $status"

# What the user has: a program and an empty folder under ~/.local, settings.
mkdir -p "$prefix/bin" "$prefix/share" "$home/.config/vek-ipc"
echo "mine" >"$prefix/bin/mine"
echo "VEK_XMPP_JID=me@example.org" >"$home/.config/vek-ipc/tune-publish.env"
echo "my own build" >"$prefix/bin/vek-ipc-decode"

echo "==> install.sh over a file of the user's"
run_install
status=$?
{ [ $status -eq 1 ] && grep -q "$prefix/bin/vek-ipc-decode" "$work/out"; } || fail "a file in the way: status $status"
[ "$(cat "$prefix/bin/vek-ipc-decode")" = "my own build" ] || fail "the user's vek-ipc-decode was overwritten"
[ ! -e "$unit" ] && [ ! -e "$prefix/share/vek-ipc" ] || fail "installed something although a file was in the way"
rm "$prefix/bin/vek-ipc-decode"

echo "==> install.sh"
run_install || fail "install: $(cat "$work/out")"
manifest=$prefix/share/vek-ipc/install-manifest.txt
expected="$prefix/bin/vek-ipc-decode
$prefix/bin/vek-mpris
$prefix/bin/vek-tune-publish
$prefix/libexec/vek-ipc/vek-mpris-service
$prefix/libexec/vek-ipc/vek-tune-service
$prefix/share/vek-ipc/foo_vek_ipc.dll
$prefix/share/vek-ipc/foo_vek_ipc.fb2k-component
$prefix/share/vek-ipc/sample.playlist
$prefix/share/vek-ipc/mpris.env.example
$prefix/share/vek-ipc/tune-publish.env.example
$prefix/share/vek-ipc/vek-ipc-read.exe
$prefix/share/vek-ipc/vek-player.exe
$mpris_unit
$unit"
installed=$(sed -n 's/^file //p' "$manifest" 2>/dev/null | sort)
[ "$installed" = "$(sort <<<"$expected")" ] || fail "installed: $(diff <(sort <<<"$expected") - <<<"$installed")"
grep -q "systemctl --user enable --now vek-tune-publish$" "$work/out" && grep -q "systemctl --user enable --now vek-mpris$" "$work/out" ||
  fail "the next steps are not named: $(tail -n 16 "$work/out")"

for program in "$prefix/bin/vek-ipc-decode" "$prefix/bin/vek-tune-publish" "$prefix/libexec/vek-ipc/vek-tune-service" \
  "$prefix/bin/vek-mpris" "$prefix/libexec/vek-ipc/vek-mpris-service" \
  "$prefix/share/vek-ipc/vek-ipc-read.exe" "$prefix/share/vek-ipc/vek-player.exe"; do
  case "$program" in
    *.exe) output=$(cmake/wine-run "$program" --version 2>&1) ;;
    *) output=$("$program" --version 2>&1) ;;
  esac
  status=$?
  { [ $status -eq 0 ] && grep -q "$version" <<<"$output"; } ||
    fail "$(basename "$program") --version: status $status, $(head -n 2 <<<"$output")"
done

# The units: real paths, nothing left to fill in, accepted by systemd.
for unit_file in "$unit" "$mpris_unit"; do
  if grep -n '@[A-Za-z_]*@' "$unit_file"; then fail "a placeholder is left in $unit_file"; fi
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit_file")
  case "$unit_file" in
    "$unit") service=vek-tune-service ;;
    *) service=vek-mpris-service ;;
  esac
  [ "$exec_start" = "$prefix/libexec/vek-ipc/$service" ] && [ -x "$exec_start" ] || fail "ExecStart=$exec_start"
  grep -qx 'Environment=WINEDEBUG=-all' "$unit_file" || fail "$unit_file does not quiet Wine"
  grep -qx 'KillMode=process' "$unit_file" || fail "$unit_file's KillMode would end a player in the same Wine prefix"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$unit_file" >"$work/verify" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify")"
  fi
  # The service's program with settings missing or wrong: status 2, which the unit does not restart on.
  env -i HOME="$home" PATH="$PATH" VEK_XMPP_JID=me@example.org VEK_XMPP_PASSWORD=x WINEPREFIX="$work/nowhere" \
    "$exec_start" >"$work/out" 2>&1
  status=$?
  { [ $status -eq 2 ] && grep -q "$work/nowhere is not a Wine prefix" "$work/out"; } ||
    fail "$service with no Wine prefix: status $status, $(cat "$work/out")"
done
env -i HOME="$home" PATH="$PATH" "$prefix/libexec/vek-ipc/vek-tune-service" >"$work/out" 2>&1
status=$?
{ [ $status -eq 2 ] && grep -q 'VEK_XMPP_JID is not set' "$work/out"; } || fail "the service without settings: status $status, $(cat "$work/out")"

echo "==> install.sh again"
run_install || fail "the second install: $(cat "$work/out")"
[ "$(sed -n 's/^file //p' "$manifest" | sort)" = "$installed" ] || fail "the second install's list differs"

echo "==> install.sh --uninstall"
run_install --uninstall || fail "uninstall: $(cat "$work/out")"
while IFS= read -r path; do
  [ ! -e "$path" ] || fail "left after uninstalling: $path"
done <<<"$installed"
for path in "$manifest" "$prefix/share/vek-ipc" "$prefix/libexec" "$home/.config/systemd"; do
  [ ! -e "$path" ] || fail "left after uninstalling: $path"
done
[ "$(cat "$prefix/bin/mine" 2>/dev/null)" = mine ] || fail "the user's file in ~/.local/bin is gone"
[ -d "$prefix/share" ] || fail "the user's empty ~/.local/share is gone"
[ -f "$home/.config/vek-ipc/tune-publish.env" ] || fail "the user's settings are gone"

if [ $failures -ne 0 ]; then
  echo "test-install: $failures failures"
  exit 1
fi
echo "test-install: passed"
