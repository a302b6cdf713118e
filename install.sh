#!/usr/bin/env bash
# Builds the release configurations and installs the Linux programs, the
# Windows files and the relays' user services through CMake's install
# rules; --uninstall removes exactly what an install put there.
set -euo pipefail
me=install.sh
source_dir=$(cd "$(dirname "$0")" && pwd)

usage() {
  cat <<EOF
usage: ./install.sh [--prefix DIR]
       ./install.sh --uninstall [--prefix DIR]

Builds the presets linux-release and win32-release and installs:
  PREFIX/bin/                  vek-ipc-decode, vek-tune-publish, vek-mpris
  PREFIX/share/vek-ipc/        foo_vek_ipc.fb2k-component, foo_vek_ipc.dll,
                               vek-ipc-read.exe, vek-player.exe (the playlist
                               player) with sample.playlist, and the
                               services' example settings
  vek-tune-publish.service,    the user services (XMPP, desktop), in
  vek-mpris.service            ~/.config/systemd/user/ for the default
                               prefix, else in PREFIX/lib/systemd/user/
What was installed is listed in PREFIX/share/vek-ipc/install-manifest.txt.
Missing Debian packages are installed when run as root; otherwise they are
named and nothing is done.

Options:
  --prefix DIR   where to install (default: ~/.local)
  --uninstall    stop and disable the services, then remove what the install
                 into DIR put there: never a folder that was there before,
                 nor your settings in ~/.config/vek-ipc/
  -h, --help     this help

Exit status: 0 done; 1 failed (build, install, missing packages, nothing to
uninstall); 2 usage.
EOF
}

usage_error() {
  echo "$me: $*" >&2
  usage >&2
  exit 2
}
fail() {
  echo "$me: $*" >&2
  exit 1
}

prefix="" uninstall=0
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help)
      usage
      exit 0
      ;;
    --uninstall) uninstall=1 ;;
    --prefix)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "--prefix needs a folder"
      prefix=$2
      shift
      ;;
    --prefix=*)
      prefix=${1#--prefix=}
      [ -n "$prefix" ] || usage_error "--prefix needs a folder"
      ;;
    -*) usage_error "unknown option: $1" ;;
    *) usage_error "unexpected argument: $1" ;;
  esac
  shift
done

default_prefix=$HOME/.local
prefix=$(realpath -m -- "${prefix:-$default_prefix}")
case "$prefix" in
  *$'\n'*) usage_error "--prefix: a folder name with a line break is not supported" ;;
esac
if [ "$prefix" = "$(realpath -m -- "$default_prefix")" ]; then
  unit_dir=${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user
else
  unit_dir=$prefix/lib/systemd/user
fi
unit_names=(vek-tune-publish.service vek-mpris.service)
manifest=$prefix/share/vek-ipc/install-manifest.txt
settings_dir=${XDG_CONFIG_HOME:-$HOME/.config}/vek-ipc

# systemctl --user, when a user manager answers.
have_user_systemd() {
  command -v systemctl >/dev/null && systemctl --user show-environment >/dev/null 2>&1
}

# The manifest's lines: "file PATH" for what was installed, "dir PATH" for a
# folder the install created.
manifest_entries() {  # kind
  [ -f "$manifest" ] || return 0
  sed -n "s/^$1 //p" "$manifest"
}

uninstall() {
  [ -f "$manifest" ] || fail "nothing to uninstall in $prefix: $manifest is missing (installed with another --prefix?)"
  local path unit_name units=()
  while IFS= read -r path; do
    for unit_name in "${unit_names[@]}"; do
      [ "$(basename "$path")" != "$unit_name" ] || units+=("$path")
    done
  done < <(manifest_entries file)
  for path in "${units[@]}"; do
    unit_name=$(basename "$path")
    if ! have_user_systemd; then
      echo "$me: systemctl --user does not answer here; if the service runs in a session, stop it there first:" >&2
      echo "  systemctl --user disable --now ${unit_name%.service}" >&2
      continue
    fi
    # Only when systemd's unit of that name is this install's.
    local loaded
    loaded=$(systemctl --user show -P FragmentPath "$unit_name" 2>/dev/null || true)
    if [ -n "$loaded" ] && [ "$(realpath -m -- "$loaded")" = "$(realpath -m -- "$path")" ]; then
      echo "==> stopping and disabling $unit_name"
      systemctl --user disable --now "$unit_name" || fail "could not stop $unit_name; nothing was removed"
    fi
  done
  local removed=0 kept=() files dirs
  files=$(manifest_entries file)
  dirs=$(manifest_entries dir | sort -r)
  while IFS= read -r path; do
    if [ -n "$path" ] && { [ -e "$path" ] || [ -L "$path" ]; }; then
      rm -f -- "$path" && removed=$((removed + 1))
    fi
  done <<<"$files"
  rm -f -- "$manifest"
  # Deepest first; a folder that holds something else now stays.
  while IFS= read -r path; do
    [ -n "$path" ] && [ -d "$path" ] || continue
    rmdir -- "$path" 2>/dev/null || kept+=("$path")
  done <<<"$dirs"
  if [ ${#units[@]} -gt 0 ] && have_user_systemd; then systemctl --user daemon-reload || true; fi
  echo "Removed the $removed files installed${units[*]:+, the user services ${units[*]} among them}."
  [ ${#kept[@]} -eq 0 ] || printf 'Kept, as it holds files of yours: %s\n' "${kept[@]}"
  [ ! -d "$settings_dir" ] || echo "Your settings in $settings_dir are left as they are."
}

if [ "$uninstall" -eq 1 ]; then
  uninstall
  exit 0
fi

# As root the missing Debian packages are installed; otherwise they are named
# with the command that installs them, and nothing is done.
# shellcheck source=scripts/deps.sh
(cd "$source_dir" && source scripts/deps.sh && vek_ensure_deps install) || fail "the packages the build needs are missing"

cd "$source_dir"
builds=(linux-release win32-release)
mkdir -p build
for preset in "${builds[@]}"; do
  echo "==> building $preset"
  log=build/$preset.install-build.log
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    fail "building $preset failed (full log: $log)"
  fi
  tail -n 1 "$log"
done

install_into() {  # DESTDIR (empty: the real place)
  local preset
  for preset in "${builds[@]}"; do
    DESTDIR=$1 VEK_USER_UNIT_DIR=$unit_dir cmake --install "build/$preset" --prefix "$prefix" --strip >/dev/null ||
      return 1
  done
}

# A first install into an empty folder says what will be installed, so that
# the folders this install creates are known and files of yours are not
# overwritten.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
install_into "$stage" || fail "installing into a staging folder failed"
new_files=()
while IFS= read -r path; do
  new_files+=("${path#"$stage"}")
done < <(find "$stage" \( -type f -o -type l \) | sort)
for expected in "$prefix/bin/vek-ipc-decode" "$prefix/bin/vek-tune-publish" "$prefix/bin/vek-mpris" \
  "$prefix/share/vek-ipc/vek-ipc-read.exe" "${unit_names[@]/#/$unit_dir/}"; do
  [[ " ${new_files[*]} " == *" $expected "* ]] || fail "the build did not produce $expected"
done

old_files=$(manifest_entries file)
conflicts=()
for path in "${new_files[@]}"; do
  if { [ -e "$path" ] || [ -L "$path" ]; } && ! grep -qxF -- "$path" <<<"$old_files"; then conflicts+=("$path"); fi
done
if [ ${#conflicts[@]} -gt 0 ]; then
  printf '%s: these files are in the way and were not installed by %s:\n' "$me" "$me" >&2
  printf '  %s\n' "${conflicts[@]}" >&2
  fail "move them away (or uninstall what put them there), then run $me again"
fi

created_dirs=()
while IFS= read -r path; do created_dirs+=("$path"); done < <(manifest_entries dir)
for path in "${new_files[@]}" "$manifest"; do
  dir=$(dirname "$path")
  while [ ! -e "$dir" ]; do
    created_dirs+=("$dir")
    dir=$(dirname "$dir")
  done
done

install_into "" || fail "installing into $prefix failed"
# Files an earlier install put there that this one does not install any more.
while IFS= read -r path; do
  [ -n "$path" ] || continue
  [[ " ${new_files[*]} " == *" $path "* ]] || rm -f -- "$path"
done <<<"$old_files"
{
  echo "# Installed by $me; ./install.sh --uninstall --prefix $(printf %q "$prefix") removes these."
  printf 'file %s\n' "${new_files[@]}"
  printf '%s\n' "${created_dirs[@]}" | sort -u | sed 's/^/dir /'
} >"$manifest"

echo
echo "Installed into $prefix:"
for path in "${new_files[@]}"; do
  [ "$(dirname "$path")" = "$unit_dir" ] || echo "  $path"
done
echo "The user services: ${unit_names[*]/#/$unit_dir/}"
echo "The list, for --uninstall: $manifest"

enable_command() {  # unit name
  case "$unit_dir" in
    "${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user" | /etc/systemd/user | /usr/local/lib/systemd/user | /usr/lib/systemd/user)
      echo "systemctl --user enable --now ${1%.service}" ;;
    *) echo "systemctl --user enable --now $(printf %q "$unit_dir/$1")" ;;  # not where systemd looks: enabling links it
  esac
}
if have_user_systemd; then
  systemctl --user daemon-reload || true
  # A service already running goes on with what was installed before until restarted.
  for unit_name in "${unit_names[@]}"; do
    if [ "$(realpath -m -- "$(systemctl --user show -P FragmentPath "$unit_name" 2>/dev/null)" 2>/dev/null)" = "$unit_dir/$unit_name" ] &&
      systemctl --user is-active --quiet "$unit_name"; then
      echo "==> restarting the running $unit_name"
      systemctl --user restart "$unit_name" || echo "$me: restarting $unit_name failed: see journalctl --user -u $unit_name" >&2
    fi
  done
fi
# The commands to copy, with their paths quoted where a shell needs it.
q_settings=$(printf %q "$settings_dir")
q_example=$(printf %q "$prefix/share/vek-ipc/tune-publish.env.example")
cat <<EOF

Next:
  1. Install $prefix/share/vek-ipc/foo_vek_ipc.fb2k-component in the player.
  2. Write your account, password file and the player's Wine prefix to
     $settings_dir/tune-publish.env, from the example:
       mkdir -p $q_settings
       cp $q_example $q_settings/tune-publish.env
       chmod 600 $q_settings/tune-publish.env
     then set VEK_XMPP_JID, VEK_XMPP_PASSWORD_FILE and WINEPREFIX in it.
  3. $(enable_command vek-tune-publish.service)
     and follow it with: journalctl --user -u vek-tune-publish -f
  4. For the desktop's media controls and playerctl (MPRIS), the second
     service, which needs no settings when the player's Wine prefix is
     ~/.wine (else set WINEPREFIX in $settings_dir/mpris.env, from
     $prefix/share/vek-ipc/mpris.env.example):
       $(enable_command vek-mpris.service)
EOF
[ -f "$settings_dir/tune-publish.env" ] && echo "($settings_dir/tune-publish.env exists already: step 2 is done if it is filled in.)"
exit 0
