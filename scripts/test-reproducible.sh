#!/usr/bin/env bash
# The release is the same bytes whoever builds it, wherever and whenever:
# scripts/build-release.sh run twice on the committed HEAD, from two clones in
# different folders, the second a year later by its clock, with umask 002
# against 022, time zone Asia/Tokyo against UTC, LC_ALL C.UTF-8 against C and,
# when run as root, as another user, gives files of the same checksums. A file
# that differs is named, and diffoscope shows where. Also: the module is the
# same file in every package that holds it; every date the build writes is
# the last commit's time; and outside a git checkout a fixed time, said once.
# Exit status: 0 passed, 1 failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=tests/lib/scenario.sh
source tests/lib/scenario.sh
me=test-reproducible
source scripts/deps.sh
vek_ensure_deps release || die "dependency installation failed"
for tool in faketime diffoscope unzip; do
  command -v $tool >/dev/null || die "$tool not found (./test.sh installs it)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vek-reproducible.XXXXXX")
at_exit rm -rf "$work"
chmod 755 "$work"
commit=$(git rev-parse HEAD)
first=$work/first/vek-ipc
second=$work/a-second-folder/further-down/vek-ipc
for clone in "$first" "$second"; do
  git clone -q --no-hardlinks "$PWD" "$clone" && git -C "$clone" checkout -q --detach "$commit" ||
    die "cannot clone $commit into $clone"
done
echo "==> two builds of $(git log -1 --format='%h (%ci)' "$commit")"

echo "==> the first: $first, umask 022, TZ=UTC, LC_ALL=C"
(cd "$first" && umask 022 && env -u SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C scripts/build-release.sh) \
  >"$work/first.log" 2>&1 || die "the first build failed" "$work/first.log"

second_as=()
if [ "$(id -u)" -eq 0 ]; then
  # Another user, whose files are not root's: the archives must not say so.
  user=nobody
  mkdir -p "$work/home"
  chown -R "$user:" "$second" "$work/home"
  second_as=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups)
else
  user=$(id -un)
fi
echo "==> the second: $second, as $user, a year later, umask 002, TZ=Asia/Tokyo, LC_ALL=C.UTF-8"
(cd "$second" && umask 002 && "${second_as[@]}" env -u SOURCE_DATE_EPOCH HOME="$work/home" TZ=Asia/Tokyo \
  LC_ALL=C.UTF-8 faketime -f +365d scripts/build-release.sh) >"$work/second.log" 2>&1 ||
  die "the second build failed" "$work/second.log"
grep -q '^==> building it' "$work/second.log" || die "the second build did not run" "$work/second.log"

echo "==> comparing"
one=$first/build/release/dist
two=$second/build/release/dist
names=$(awk '{ print $2 }' "$one/SHA256SUMS")
[ -n "$names" ] || die "the first build lists no files" "$one/SHA256SUMS"
[ "$(awk '{ print $2 }' "$two/SHA256SUMS")" = "$names" ] ||
  fail "the builds made different files: $(diff <(echo "$names") <(awk '{ print $2 }' "$two/SHA256SUMS") | tr '\n' ' ')"
for name in $names; do
  if cmp -s "$one/$name" "$two/$name"; then
    echo "    same: $name"
    continue
  fi
  echo "    DIFFERS: $name"
  timeout 600 diffoscope --text - "$one/$name" "$two/$name" 2>&1 | head -n 150
  fail "$name differs between the two builds"
done

echo "==> the module and the programs: one file in every package"
deb=$(ls "$one"/vek-ipc_*.deb)
zip=$(ls "$one"/vek-ipc-*-win32.zip)
from_deb() { dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/$1"; }
same_as_shipped() {  # name, where, command...
  local name=$1 where=$2
  shift 2
  cmp -s "$one/$name" <("$@") || fail "$name in $where is not the $name the build made"
}
same_as_shipped foo_vek_ipc.dll "the component package" unzip -p "$one/foo_vek_ipc.fb2k-component" foo_vek_ipc.dll
for name in foo_vek_ipc.dll foo_vek_ipc.fb2k-component vek-ipc-read.exe; do
  same_as_shipped $name "the Windows archive" unzip -p "$zip" "$(basename "$zip" .zip)/$name"
done
for name in foo_vek_ipc.dll foo_vek_ipc.fb2k-component vek-ipc-read.exe vek-player.exe; do
  same_as_shipped $name "the Debian package" from_deb share/vek-ipc/$name
done
for name in vek-ipc-decode vek-tune-publish vek-mpris; do
  same_as_shipped $name "the Debian package" from_deb bin/$name
done

echo "==> every date is the last commit's"
epoch=$(git log -1 --format=%ct "$commit")
changelog_date() { grep -o '  [A-Z][a-z][a-z], .*$' | sed 's/^  //'; }
expected=$(LC_ALL=C date -u -R -d "@$epoch")
got=$(from_deb share/doc/vek-ipc/changelog.gz | gunzip | changelog_date)
[ "$got" = "$expected" ] || fail "the package's changelog is dated '$got', not '$expected'"
expected=$(LC_ALL=C TZ=UTC date -d "@$epoch" '+%a %b %e %H:%M:%S %Y')
for name in foo_vek_ipc.dll vek-ipc-read.exe vek-player.exe; do
  got=$(TZ=UTC i686-w64-mingw32-objdump -p "$one/$name" | awk -F '\t+' '$1 == "Time/Date" { print $2 }')
  [ "$got" = "$expected" ] || fail "$name's PE time stamp is '$got', not '$expected'"
done
# A zip entry's own time has two-second steps; zipinfo shows the exact time
# where an entry also has one (cpack's do).
expected=$(TZ=UTC date -d "@$epoch" '+%Y%m%d.%H%M%S')
even=$(TZ=UTC date -d "@$((epoch - epoch % 2))" '+%Y%m%d.%H%M%S')
for archive in "$one/foo_vek_ipc.fb2k-component" "$zip"; do
  others=$(zipinfo -T "$archive" | awk 'NF >= 8 && $1 ~ /^[-d]/ { print $7 }' | grep -vx -e "$expected" -e "$even")
  [ -z "$others" ] || fail "$(basename "$archive") has entries not dated $expected (UTC): $(echo $others)"
done
expected=$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
others=$(TZ=UTC tar -tvzf "$one"/vek-ipc-*-linux-*.tar.gz --full-time | awk '{ print $4, $5 }' | grep -vx "$expected")
[ -z "$others" ] || fail "the Linux archive has entries not dated $expected: $(echo $others | head -c 200)"

echo "==> outside a git checkout"
export_tree=$work/exported
mkdir -p "$export_tree"
git archive "$commit" | tar -x -C "$export_tree" || die "git archive failed"
configure_date() {  # build folder; the changelog's date after configuring there
  (cd "$export_tree" && cmake --preset linux-release -B "$1") >"$1.log" 2>&1 || return 1
  changelog_date <"$1/deb/changelog"
}
got=$(unset SOURCE_DATE_EPOCH && configure_date "$work/fixed") ||
  die "configuring outside a git checkout failed" "$work/fixed.log"
[ "$got" = "Tue, 01 Jan 1980 00:00:00 +0000" ] || fail "outside a git checkout the date is '$got', not 1980-01-01"
said=$(grep -c 'Not a git checkout and SOURCE_DATE_EPOCH unset' "$work/fixed.log")
[ "$said" -eq 1 ] || fail "the fixed date was said $said times, not once" "$work/fixed.log"
got=$(SOURCE_DATE_EPOCH=1234567890 configure_date "$work/given") || die "configuring with SOURCE_DATE_EPOCH failed" "$work/given.log"
[ "$got" = "Fri, 13 Feb 2009 23:31:30 +0000" ] || fail "SOURCE_DATE_EPOCH=1234567890 dated the build '$got'"
! grep -q 'Not a git checkout' "$work/given.log" || fail "the fixed date was said although SOURCE_DATE_EPOCH was set"
SOURCE_DATE_EPOCH=yesterday configure_date "$work/wrong" >/dev/null &&
  fail "SOURCE_DATE_EPOCH=yesterday was taken"
grep -q "SOURCE_DATE_EPOCH is 'yesterday'" "$work/wrong.log" || fail "SOURCE_DATE_EPOCH=yesterday was refused without saying why" "$work/wrong.log"

finish $me
