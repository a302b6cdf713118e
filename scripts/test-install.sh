#!/usr/bin/env bash
# ./install.sh for a user whose home is a temporary folder: refuses to
# overwrite a file of the user's, installs into ~/.local and the user's
# systemd folder, every installed program answers --version (the Windows ones
# under Wine), the unit names real paths, a second install replaces the
# first, and --uninstall removes all of it and nothing of the user's. Then
# the same into a prefix with a space in its name, and a failing build, which
# must be shown with its own words.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
source tests/lib/scenario.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/vek-install.XXXXXX")
at_exit rm -rf "$work"
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

for program in "$prefix/bin/vek-ipc-decode" "$prefix/bin/vek-tune-publish" "$prefix/bin/vek-mpris" \
  "$prefix/share/vek-ipc/vek-ipc-read.exe" "$prefix/share/vek-ipc/vek-player.exe"; do
  # The answer is on standard output; Wine may write lines of its own to standard error.
  case "$program" in
    *.exe) output=$(cmake/wine-run "$program" --version 2>"$work/err") ;;
    *) output=$("$program" --version 2>"$work/err") ;;
  esac
  status=$?
  { [ $status -eq 0 ] && grep -q "$version" <<<"$output"; } ||
    fail "$(basename "$program") --version: status $status, $(head -n 2 <<<"$output")" "$work/err"
done

# The units: real paths, nothing left to fill in, accepted by systemd.
check_units() {  # prefix, the units' folder
  local unit_file service program exec_start status
  for unit_file in "$2/vek-tune-publish.service" "$2/vek-mpris.service"; do
    if grep -n '@[A-Za-z_]*@' "$unit_file"; then fail "a placeholder is left in $unit_file"; fi
    service=$(basename "$unit_file" .service)
    # systemd takes a word with a space in it whole when it is quoted.
    program=$1/bin/$service
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit_file")
    case "$program" in
      *' '*) [ "$exec_start" = "\"$program\" --wine" ] || fail "ExecStart=$exec_start is not \"$program\" --wine" ;;
      *) [ "$exec_start" = "$program --wine" ] || fail "ExecStart=$exec_start is not $program --wine" ;;
    esac
    # Every line that names the settings names them whole.
    grep -q "copy $1/share/vek-ipc/[a-z-]*\.env\.example$" "$unit_file" || fail "$unit_file does not name its example settings"
    grep -qx 'Type=notify' "$unit_file" || fail "$unit_file does not wait for the relay to say it is ready"
    [ -x "$program" ] || fail "$program is not a program"
    grep -qx 'Environment=WINEDEBUG=-all' "$unit_file" || fail "$unit_file does not quiet Wine"
    grep -qx 'KillMode=process' "$unit_file" || fail "$unit_file's KillMode would end a player in the same Wine prefix"
    if command -v systemd-analyze >/dev/null; then
      systemd-analyze verify "$unit_file" >"$work/verify" 2>&1 || fail "systemd-analyze verify" "$work/verify"
      if grep -q 'Invalid URL' "$work/verify"; then fail "systemd-analyze verify" "$work/verify"; fi
    fi
    # The service's program with settings missing or wrong: status 2, which the unit does not restart on.
    env -i HOME="$home" PATH="$PATH" VEK_XMPP_JID=me@example.org VEK_XMPP_PASSWORD=x WINEPREFIX="$work/nowhere" \
      "$program" --wine >"$work/out" 2>&1
    status=$?
    { [ $status -eq 2 ] && grep -q "$work/nowhere is not a Wine prefix" "$work/out"; } ||
      fail "$service with no Wine prefix: status $status" "$work/out"
  done
}
check_units "$prefix" "$home/.config/systemd/user"
env -i HOME="$home" PATH="$PATH" "$prefix/bin/vek-tune-publish" --wine >"$work/out" 2>&1
status=$?
{ [ $status -eq 2 ] && grep -q 'jid is required' "$work/out"; } || fail "the service without settings: status $status, $(cat "$work/out")"

echo "==> install.sh again"
run_install || fail "the second install: $(cat "$work/out")"
[ "$(sed -n 's/^file //p' "$manifest" | sort)" = "$installed" ] || fail "the second install's list differs"

echo "==> install.sh --uninstall"
run_install --uninstall || fail "uninstall: $(cat "$work/out")"
while IFS= read -r path; do
  [ ! -e "$path" ] || fail "left after uninstalling: $path"
done <<<"$installed"
for path in "$manifest" "$prefix/share/vek-ipc" "$home/.config/systemd"; do
  [ ! -e "$path" ] || fail "left after uninstalling: $path"
done
[ "$(cat "$prefix/bin/mine" 2>/dev/null)" = mine ] || fail "the user's file in ~/.local/bin is gone"
[ -d "$prefix/share" ] || fail "the user's empty ~/.local/share is gone"
[ -f "$home/.config/vek-ipc/tune-publish.env" ] || fail "the user's settings are gone"

echo "==> install.sh --prefix with a space in it"
spaced="$work/my programs"
run_install --prefix "$spaced" || fail "install into '$spaced'" "$work/out"
grep -qF "systemctl --user enable --now $(printf %q "$spaced/lib/systemd/user/vek-mpris.service")" "$work/out" ||
  fail "the next steps do not quote the unit's path" "$work/out"
check_units "$spaced" "$spaced/lib/systemd/user"
run_install --uninstall --prefix "$spaced" || fail "uninstall from '$spaced'" "$work/out"
[ ! -e "$spaced" ] || fail "left after uninstalling: $(find "$spaced" | head -n 5)"

echo "==> install.sh with a failing build"
# cmake, but a build fails, saying why in words of its own before its last line.
mkdir "$work/failing"
cat >"$work/failing/cmake" <<EOF
#!/bin/sh
[ "\$1" = --build ] || exec $(command -v cmake) "\$@"
echo "error: the compiler's own words"
echo "ninja: build stopped: subcommand failed."
exit 1
EOF
chmod +x "$work/failing/cmake"
PATH="$work/failing:$PATH" run_install --prefix "$work/never"
status=$?
{ [ $status -eq 1 ] && grep -q "error: the compiler's own words" "$work/out" &&
  grep -q 'building linux-release failed (full log: ' "$work/out"; } ||
  fail "a failed build: status $status" "$work/out"
[ ! -e "$work/never" ] || fail "a failed build installed something"

finish test-install
