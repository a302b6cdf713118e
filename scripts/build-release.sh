#!/usr/bin/env bash
# Makes the release from this checkout, the same bytes whoever builds it,
# wherever and whenever: the two release presets in build folders of their
# own, made anew, then the packages, gathered with their checksums.
set -euo pipefail
me=build-release.sh

usage() {
  cat <<'EOF'
usage: scripts/build-release.sh [-h | --help] [-o DIR | --output DIR]

Builds the release presets (linux-release, win32-release) from this
checkout, in build/release/linux and build/release/win32 (removed first, so
nothing of an earlier build is in it), makes the Debian package, the Linux and
Windows archives and the component package, and puts them in DIR with the
programs they hold, and SHA256SUMS, the checksums of all of them:

  vek-ipc_VERSION_ARCH.deb             the Debian package, for this release
  vek-ipc-VERSION-linux-ARCH.tar.gz    the Linux programs and units, /usr/local
  vek-ipc-VERSION-win32.zip            the Windows files
  foo_vek_ipc.fb2k-component           the component package
  foo_vek_ipc.dll, vek-ipc-read.exe,   the Windows files as shipped
  vek-player.exe
  vek-ipc-decode, vek-tune-publish,    the Linux programs as shipped (stripped)
  vek-mpris

Every date in them is SOURCE_DATE_EPOCH when set, else the time of the commit
checked out (outside a git checkout, 1980-01-01); so the same commit gives the
same files on the same Debian release. To check a release: clone its tag, run this, and compare the
checksums with the release's (sha256sum -c THEIR-SHA256SUMS, in DIR).

  -o, --output DIR   where to put them (default build/release/dist); its
                     files of these names are replaced
  -h, --help         print this help and exit

Installs what is missing as root (from Debian's archive); as another user it
names what to install. A user other than root needs fakeroot, under which the
archives' entries are made root's as they are in a release built as root.

Exit status: 0 made; 1 a build or a package failed; 2 usage.
EOF
}
output=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    -o | --output)
      [ $# -ge 2 ] || { echo "$me: $1 needs a folder" >&2; usage >&2; exit 2; }
      output=$2
      shift 2
      ;;
    --output=*) output=${1#--output=}; shift ;;
    *) echo "$me: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
[ -z "$output" ] || output=$(realpath -m -- "$output")
cd "$(dirname "$0")/.."
root=$PWD
output=${output:-$root/build/release/dist}

# shellcheck source=scripts/deps.sh
source scripts/deps.sh
vek_ensure_deps release || { echo "$me: dependency installation failed" >&2; exit 1; }
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(fakeroot)

linux=$root/build/release/linux
windows=$root/build/release/win32
log=$root/build/release/build.log
rm -rf "$linux" "$windows"
mkdir -p "$root/build/release" "$output"
: >"$log"
step() {  # what, command...
  local what=$1
  shift
  echo "==> $what"
  if ! "$@" >>"$log" 2>&1; then
    tail -n 30 "$log"
    echo "$me: $what failed (full log: $log)" >&2
    exit 1
  fi
}
step "the Windows release build" cmake --preset win32-release -B "$windows"
step "building it" cmake --build "$windows"
sed -n 's/^-- Every date this build writes: /    dated /p' "$log"
step "the Linux release build" cmake --preset linux-release -B "$linux" -DVEK_WINDOWS_BUILD_DIR="$windows"
step "building it" cmake --build "$linux"
# cpack writes the Debian package's members as files, then records their mode
# in it: umask 022 makes that the same for every builder.
package() {  # generator, build folder
  (umask 022 && "${as_root[@]}" cpack -G "$1" --config "$2/CPackConfig.cmake")
}
step "the Windows archive" package ZIP "$windows"
step "the Linux archive" package TGZ "$linux"
step "the Debian package" package DEB "$linux"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux/CMakeCache.txt")
packages=("$linux"/vek-ipc_"$version"_*.deb "$linux"/vek-ipc-"$version"-linux-*.tar.gz
  "$windows"/vek-ipc-"$version"-win32.zip "$windows"/foo_vek_ipc.fb2k-component)
windows_files=(foo_vek_ipc.dll vek-ipc-read.exe vek-player.exe)
linux_files=(vek-ipc-decode vek-tune-publish vek-mpris)
names=()
for file in "${packages[@]}"; do
  [ -f "$file" ] || { echo "$me: $file was not made" >&2; exit 1; }
  cp -- "$file" "$output/"
  names+=("$(basename "$file")")
done
for name in "${windows_files[@]}"; do
  cp -- "$windows/bin/$name" "$output/"
  names+=("$name")
done
# The Linux programs as the packages hold them: stripped when packed.
tar -xzf "${packages[1]}" -C "$output" --strip-components=3 "${linux_files[@]/#/usr/local/bin/}"
names+=("${linux_files[@]}")
(cd "$output" && sha256sum -- "${names[@]}" >SHA256SUMS)
echo "==> in $output:"
sed 's/^/    /' "$output/SHA256SUMS"
