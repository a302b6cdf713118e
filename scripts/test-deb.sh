#!/usr/bin/env bash
# The Debian package as a Debian user gets it: built from the release presets
# with CPack, checked by lintian (no errors or warnings), then, as root, installed with
# apt-get from the file, every program answering --version (the reader under
# the system's Wine), both user units accepted by systemd-analyze, and purged
# without leaving a file it installed. Exit status: 0 passed, 1 failed,
# 77 skipped (not root, no apt-get, or vek-ipc already installed: a user's
# own install is never touched).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
source tests/lib/scenario.sh
me=test-deb
work=$(mktemp -d "${TMPDIR:-/tmp}/vek-deb.XXXXXX")
installed=0
# A failure half-way must not leave the package installed.
purge_if_installed() { [ $installed -eq 0 ] || apt-get purge -y -q vek-ipc >/dev/null 2>&1; }
at_exit rm -rf "$work"
at_exit purge_if_installed

version=$(sed -nE 's/^project\(.* VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
deb_name=vek-ipc_${version}_$(dpkg --print-architecture).deb
deb=build/linux-release/$deb_name

echo "==> building the release presets and $deb_name"
for preset in linux-release win32-release; do build_preset "$preset" "$work/build-$preset"; done
rm -f "$deb"
cpack -G DEB --config build/linux-release/CPackConfig.cmake >"$work/cpack" 2>&1 && [ -f "$deb" ] ||
  die "cpack did not make $deb" "$work/cpack"

echo "==> lintian"
lintian "$deb" 2>&1 | grep -v 'running with root privileges' | tee "$work/lintian"
[ "${PIPESTATUS[0]}" -le 1 ] || fail "lintian could not check $deb"
if grep -q '^[EW]:' "$work/lintian"; then fail "lintian found errors or warnings"; fi

# The packaged Linux programs' hardening, as shipped (stripped).
# hardening-check: PIE, stack protector, fortified functions, RELRO, BIND_NOW.
# Not its control-flow line: the property note (readelf -n: "x86 feature:
# IBT, SHSTK") is kept only when every linked object has it, and glibc's start
# files on Debian 12 and 13 do not; the end-branch marker at main, which libc
# calls through a pointer, shows the flag instead. Not its branch-protection
# line (Debian 13's), which is arm64's. Not its stack clash line: it knows
# GCC 12's probing loop and says "unknown" for GCC 14's. Instead, on the code:
# every constant move of the stack pointer by a page or more must be a probed
# step (sub $0x1000,%rsp, then orq $0x0,OFFSET(%rsp)).
echo "==> the programs' hardening"
dpkg-deb -x "$deb" "$work/root" || die "dpkg-deb -x $deb"
command -v hardening-check >/dev/null || fail "no hardening-check (devscripts) to check the programs with"
not_checked=(--nocfprotection)
# Read whole: grep -q would end the pipe early, and pipefail take that for "no".
checker_help=$(hardening-check --help 2>&1)
[[ $checker_help != *--nobranchprotection* ]] || not_checked+=(--nobranchprotection)
main_address() {  # program: main's address as _start hands it to __libc_start_main
  local entry
  entry=$(readelf -h "$1" | awk '/Entry point address/ { print $4 }')
  objdump -d --no-show-raw-insn --start-address="$entry" --stop-address=$((entry + 64)) "$1" |
    awk '/lea .*,%rdi/ { sub(/.*# */, ""); main = $1 } /call.*<__libc_start_main/ { print main; exit }'
}
stack_steps() {  # program: "probed unprobed", its moves of the stack pointer by a page or more
  local size next probed=0 unprobed=0
  while read -r size next; do
    if [ "$size" = 1000 ] && [[ $next =~ or[q]?\ +\$0x0,(0x[0-9a-f]+)?\(%rsp\)$ ]]; then
      probed=$((probed + 1))
    elif [ $((16#$size)) -ge 4096 ]; then
      unprobed=$((unprobed + 1))
    fi
  done < <(objdump -d --no-show-raw-insn "$1" |
    awk '/\tsub +\$0x[0-9a-f]+,%rsp$/ { size = $0; sub(/.*\$0x/, "", size); sub(/,.*/, "", size)
                                          getline next_line; print size, next_line }')
  echo "$probed $unprobed"
}
for program in vek-ipc-decode vek-tune-publish vek-mpris; do
  binary=$work/root/usr/bin/$program
  if command -v hardening-check >/dev/null; then
    hardening-check "${not_checked[@]}" "$binary" >"$work/hardening" 2>&1 ||
      fail "hardening-check $program" "$work/hardening"
  fi
  read -r probed unprobed < <(stack_steps "$binary")
  [ "$unprobed" -eq 0 ] || fail "$program: $unprobed moves of the stack pointer by a page or more without a probe"
  if [ "$(dpkg --print-architecture)" = amd64 ]; then
    main=$(main_address "$binary")
    if [ -z "$main" ]; then
      fail "$program: main's address not found from its entry point"
    elif ! objdump -d --start-address=0x"$main" --stop-address=$((16#$main + 4)) "$binary" | grep -q endbr64; then
      fail "$program: main does not begin with endbr64"
    fi
  fi
  property=$(readelf -n "$binary" | sed -n 's/^ *Properties: x86 feature: //p')
  echo "$program: $probed probed steps of the stack, $unprobed unprobed; x86 feature property: ${property:-none}"
done

[ "$failures" -eq 0 ] || finish $me
[ "$(id -u)" -eq 0 ] || skip $me "installing the package needs root (it was made, lintian found no errors)"
command -v apt-get >/dev/null || skip $me "no apt-get to install the package with"
if dpkg-query -W -f='${Status}\n' vek-ipc 2>/dev/null | grep -qv '^unknown ok not-installed$'; then
  skip $me "vek-ipc is installed on this machine; it is left alone"
fi

# The package's folders that are here before it: the only ones it may leave.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | while IFS= read -r path; do
  [ ! -d "$path" ] || echo "$path"
done >"$work/dirs-before"

echo "==> apt-get install ./$deb_name"
installed=1
(cd build/linux-release && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "./$deb_name") >"$work/apt" 2>&1 ||
  die "apt-get install ./$deb_name" "$work/apt"
dpkg -L vek-ipc >"$work/listed"
expected=$(LC_ALL=C sort <<<"/usr/bin/vek-ipc-decode
/usr/bin/vek-mpris
/usr/bin/vek-tune-publish
/usr/lib/systemd/user/vek-mpris.service
/usr/lib/systemd/user/vek-tune-publish.service
/usr/share/doc/vek-ipc/changelog.gz
/usr/share/doc/vek-ipc/copyright
/usr/share/man/man1/vek-ipc-decode.1.gz
/usr/share/man/man1/vek-mpris.1.gz
/usr/share/man/man1/vek-tune-publish.1.gz
/usr/share/vek-ipc/foo_vek_ipc.dll
/usr/share/vek-ipc/foo_vek_ipc.fb2k-component
/usr/share/vek-ipc/mpris.env.example
/usr/share/vek-ipc/sample.playlist
/usr/share/vek-ipc/tune-publish.env.example
/usr/share/vek-ipc/vek-ipc-read.exe
/usr/share/vek-ipc/vek-player.exe")
files=$(while IFS= read -r path; do [ -d "$path" ] || echo "$path"; done <"$work/listed" | LC_ALL=C sort)
[ "$files" = "$expected" ] || fail "the package's files: $(diff <(echo "$expected") - <<<"$files")"

for program in vek-ipc-decode vek-tune-publish vek-mpris /usr/share/vek-ipc/vek-ipc-read.exe; do
  # The answer is on standard output; Wine may write lines of its own to standard error.
  case "$program" in
    # In a prefix of its own, without a display; Mono and Gecko are not offered.
    *.exe) output=$(WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      wine "$program" --version 2>"$work/err") ;;
    *) output=$("$program" --version 2>"$work/err") ;;
  esac
  status=$?
  { [ $status -eq 0 ] && grep -q "$version" <<<"$output"; } ||
    fail "$(basename "$program") --version: status $status, $(tail -n 2 <<<"$output")" "$work/err"
done
[ ! -d "$work/wine" ] || WINEPREFIX=$work/wine wineserver -k 2>/dev/null

for service in vek-tune-publish vek-mpris; do
  unit=/usr/lib/systemd/user/$service.service
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  [ "$exec_start" = "/usr/bin/$service --wine" ] || fail "$unit: ExecStart=$exec_start"
  systemd-analyze verify "$unit" >"$work/verify" 2>&1 || fail "systemd-analyze verify $unit: $(cat "$work/verify")"
done

echo "==> apt-get purge vek-ipc"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q vek-ipc >"$work/apt" 2>&1 || fail "apt-get purge vek-ipc" "$work/apt"
installed=0
while IFS= read -r path; do
  if [ "$path" = /. ]; then
    continue
  elif [ -d "$path" ]; then
    grep -qxF -- "$path" "$work/dirs-before" || fail "a folder left after the purge: $path"
  elif [ -e "$path" ] || [ -L "$path" ]; then
    fail "left after the purge: $path"
  fi
done <"$work/listed"
finish $me
