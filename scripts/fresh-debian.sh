#!/usr/bin/env bash
# Runs a command of this project inside a fresh Debian, the way a new user's
# machine is: a minimal system made by debootstrap, with nothing installed by
# hand, and a clean clone of the committed HEAD in /root/project. CI runs
# ./test.sh this way in Debian 13 beside the run on its own machine.
set -uo pipefail
me=fresh-debian.sh

usage() {
  cat <<'EOF'
usage: scripts/fresh-debian.sh [--debian 12|13] [--] COMMAND [ARGUMENT...]

Runs COMMAND (for example ./test.sh) as root in /root/project, a clean clone
of this repository's committed HEAD, inside a fresh Debian made by debootstrap
(variant minbase, from the Debian archive this machine installs from; apt
reads the one-line /etc/apt/sources.list, as the Debian installer leaves it).
Uncommitted changes are not part of it. The system is made once per release
and kept pristine in $VEK_FRESH_CACHE (default /var/tmp/vek-ipc-fresh); each
run works on a copy of it, removed afterwards.

Options:
  --debian N   the release: 12 (bookworm) or 13 (trixie, the default)
  -h, --help   this help

Needs root (debootstrap, chroot, mount) and debootstrap, which it installs
when missing. The command's output goes to standard output.

Exit status: the command's; 2 usage; 3 the fresh system could not be made.
EOF
}
usage_error() {
  echo "$me: $*" >&2
  usage >&2
  exit 2
}

release=13
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --debian)
      [ $# -ge 2 ] || usage_error "--debian needs 12 or 13"
      release=$2
      shift 2
      ;;
    --) shift; break ;;
    -*) usage_error "unknown option: $1" ;;
    *) break ;;
  esac
done
case "$release" in
  12) suite=bookworm ;;
  13) suite=trixie ;;
  *) usage_error "--debian: $release is not 12 or 13" ;;
esac
[ $# -gt 0 ] || usage_error "no command to run"
[ "$(id -u)" -eq 0 ] || { echo "$me: needs root (debootstrap, chroot, mount)" >&2; exit 3; }
cd "$(dirname "$0")/.." || exit 3
git rev-parse --verify -q HEAD >/dev/null || { echo "$me: not in a git checkout with a commit" >&2; exit 3; }

cache=${VEK_FRESH_CACHE:-/var/tmp/vek-ipc-fresh}
base=$cache/debian-$release
if [ ! -x "$base/bin/bash" ]; then
  if ! command -v debootstrap >/dev/null; then
    apt-get install -y -q debootstrap >/dev/null 2>&1 ||
      { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q debootstrap >/dev/null 2>&1; } ||
      { echo "$me: could not install debootstrap" >&2; exit 3; }
  fi
  # The archive this machine installs from, from either form of apt's sources.
  mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -m1 -v security)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $0 !~ /security/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
  [ -n "$mirror" ] || { echo "$me: no Debian archive in this machine's apt sources" >&2; exit 3; }
  echo "==> making a fresh Debian $release ($suite) from $mirror, once"
  mkdir -p "$cache" && rm -rf "$base.partial" || exit 3
  if ! debootstrap --variant=minbase "$suite" "$base.partial" "$mirror" >"$base.log" 2>&1; then
    echo "$me: debootstrap failed; its last lines ($base.log):" >&2
    tail -n 5 "$base.log" >&2
    rm -rf --one-file-system "$base.partial"
    exit 3
  fi
  mv "$base.partial" "$base" || exit 3
fi

root=$(mktemp -d "$cache/run-$release.XXXXXX") || exit 3
mounted=()
cleanup() {
  local point
  for point in "${mounted[@]}"; do umount -R -l "$point" 2>/dev/null; done
  # Never delete through a mount that is still there.
  grep -q " $root/" /proc/mounts || rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cp -a "$base/." "$root/" || exit 3
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null
git clone -q . "$root/root/project" || exit 3
for point in proc:proc sysfs:sys tmpfs:tmp; do
  mount -t "${point%%:*}" "${point%%:*}" "$root/${point#*:}" || exit 3
  mounted+=("$root/${point#*:}")
done
mount --rbind /dev "$root/dev" || exit 3
mounted+=("$root/dev")

echo "==> $* in a fresh Debian $release ($(git rev-parse --short HEAD))"
start=$(date +%s)
chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb CI="${CI:-}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash -c 'cd /root/project && exec "$@"' bash "$@" </dev/null
status=$?
echo "==> $* in a fresh Debian $release: status $status in $(($(date +%s) - start)) s"
exit $status
