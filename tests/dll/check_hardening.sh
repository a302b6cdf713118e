#!/usr/bin/env bash
# The protections of a Windows image (the module or a program), read from the
# image itself: PE32 i386, relocatable (DYNAMIC_BASE, with its base
# relocations) and NX_COMPAT; imports from Windows system DLLs only, none of
# MinGW's runtime DLLs (the support libraries are linked in); stack canaries
# checked on return (calls to __stack_chk_fail) against a guard that a
# constructor seeds from CryptGenRandom. The shipped images are stripped:
# addresses come from the link map (the second argument). Also lists the
# checked functions _FORTIFY_SOURCE left calls to (not asserted: which of
# them remain depends on what the compiler could prove).
set -eu
image=$1
map=${2:?usage: check_hardening.sh IMAGE LINK-MAP}
# shellcheck source=tests/lib/scenario.sh
source "$(dirname "$0")/../lib/scenario.sh"
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
name=$(basename "$image")
headers=$($objdump -p "$image")

echo "$headers" | grep -q 'file format pei-i386' || die "$name: not a PE32 i386 image"
characteristics=$(echo "$headers" | sed -n '/^DllCharacteristics/,/^[^\t]/p')
for flag in DYNAMIC_BASE NX_COMPAT; do
  echo "$characteristics" | grep -qw "$flag" || fail "$name: DllCharacteristics without $flag"
done
# "Entry 5 <rva> <size> Base Relocation Directory": a relocatable image needs them.
relocations=$(echo "$headers" | awk '/Base Relocation Directory/ { print $4 }')
[ -n "$relocations" ] && [ $((16#$relocations)) -gt 0 ] || fail "$name: no base relocations"

imports=$(echo "$headers" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll | user32.dll | advapi32.dll | shell32.dll | api-ms-win-crt-*.dll) ;;
    libssp* | libgcc* | libstdc++* | libwinpthread*) fail "$name: imports MinGW's runtime $dll_name" ;;
    *) fail "$name: imports $dll_name, not a Windows system DLL" ;;
  esac
done

# The address of a symbol (its assembler name), from the map, which prints a
# symbol without the leading underscore of the C name and a script's
# assignment as written.
[ -f "$map" ] || die "no link map $map"
grep -q "^OUTPUT(.*$name pei-i386)" "$map" || die "$map is not the map of $name"
address_of() {
  awk -v symbol="${1#_}" -v assigned="$1 = ." '
    /^ +0x[0-9a-f]+ +/ { rest = $0; sub(/^ +0x[0-9a-f]+ +/, "", rest)
                         if (rest == symbol || rest == assigned) { sub(/^0x0*/, "", $1); print $1; exit } }' "$map"
}
fail_address=$(address_of ___stack_chk_fail)
fail_local=$(address_of ___stack_chk_fail_local)
guard=$(address_of ___stack_chk_guard)
ctor_list=$(address_of ___CTOR_LIST__)
random_slot=$(address_of __imp__CryptGenRandom@12)
[ -n "$fail_address" ] && [ -n "$fail_local" ] && [ -n "$guard" ] ||
  die "$name: no __stack_chk_fail or __stack_chk_guard linked"
[ -n "$ctor_list" ] && [ -n "$random_slot" ] || die "$name: no constructor list or no CryptGenRandom import"

# Counted on the image's code, whatever its symbols say: the protected
# functions' failure calls, and the instructions that read the guard. One
# call is libssp's own, from its __stack_chk_fail_local (a few bytes long):
# linked with no protected function at all, the image still has that one.
calls_to_fail() { grep -Ec "call +(0x)?0*$fail_address( |$)" || true; }
code=$($objdump -d --no-show-raw-insn "$image")
own=$($objdump -d --no-show-raw-insn --start-address=0x$fail_local --stop-address=$((16#$fail_local + 16)) "$image" |
  calls_to_fail)
checks=$(($(echo "$code" | calls_to_fail) - own))
guard_reads=$(echo "$code" | grep -Ec '[^$*]0x0*'"$guard"'(,|$)' || true)
[ "$checks" -gt 0 ] || fail "$name: no call to __stack_chk_fail (0x$fail_address)"
[ "$guard_reads" -gt "$checks" ] ||
  fail "$name: $guard_reads reads of the guard (0x$guard) for $checks failure calls"

# The constructors from __CTOR_LIST__ (-1) to the terminating 0: one of them
# must hand the guard's address to CryptGenRandom through its import.
words=$($objdump -s --start-address=0x$ctor_list --stop-address=$((16#$ctor_list + 4096)) "$image" |
  awk '/^ [0-9a-f]+ / { for (i = 2; i <= 5; i++) if (length($i) == 8 && $i ~ /^[0-9a-f]+$/) print $i }')
seeded=0
for word in $(echo "$words" | tail -n +2); do
  ctor=$(echo "$word" | sed -E 's/(..)(..)(..)(..)/\4\3\2\1/')
  [ "$ctor" != 00000000 ] || break
  # The guard's constructor is short: its first 256 bytes hold the call.
  body=$($objdump -d --no-show-raw-insn --start-address=0x$ctor --stop-address=$((16#$ctor + 256)) "$image")
  if echo "$body" | grep -Eq "\\\$0x0*$guard," && echo "$body" | grep -Eq "call +\*0x0*$random_slot( |$)"; then
    seeded=1
    break
  fi
done
[ "$seeded" -eq 1 ] || fail "$name: no constructor seeds the guard (0x$guard) from CryptGenRandom"

checked=$(sed -n '/^Cross Reference Table/,$p' "$map" | awk '/^_*[a-z0-9]+_chk / { print $1 }')
checked=$(echo $(echo "$checked" | sed 's/^_*//' | sort -u))
echo "$name: $checks calls to __stack_chk_fail, $guard_reads reads of the guard; imports: $(echo $imports)"
echo "$name: fortified functions linked: ${checked:-none}"
finish "$name's protections"
