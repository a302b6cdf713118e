#!/usr/bin/env bash
# The shipped module's tables: PE32 for i386, exactly one export
# (foobar2000_get_interface), and imports only from Windows system DLLs
# (ADVAPI32 for the random seed of the stack protector's guard).
# With the link's map (-Map, --cref) as the second argument, also what it was
# linked from: the length is formatted by the Universal CRT, never by MinGW's
# own printf family.
set -eu
dll=$1
map=${2:-}
# shellcheck source=tests/lib/scenario.sh
source "$(dirname "$0")/../lib/scenario.sh"
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
headers=$($objdump -p "$dll")

echo "$headers" | grep -q 'file format pei-i386' || die "not a PE32 i386 image"
symbols=$($objdump -t "$dll" | sed -n '/^SYMBOL TABLE:/,$p' | tail -n +2 | grep -v -e '^no symbols' | grep -c . || true)
[ "$symbols" -eq 0 ] || die "not stripped: $symbols symbols"

# A row per export, the name last: "[   0] name" (binutils 2.40), or
# "[   0] +base[   1]  0000 name" with the hint (2.44).
exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | tail -n +2 | awk '/^[ \t]*\[/ { print $NF }')
[ "$exports" = "foobar2000_get_interface" ] || die "exports are: $(echo $exports)"

imports=$(echo "$headers" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll|user32.dll|advapi32.dll|api-ms-win-crt-*.dll) ;;
    *) die "imports $dll_name" ;;
  esac
done
echo "$imports" | grep -qx user32.dll || die "does not import user32.dll"

# "dll function" for every imported name. A row is "vma hint name": the hint
# in decimal (binutils 2.40), or "<none>" and the hint in hex (2.44).
imported=$(echo "$headers" | awk '
  /DLL Name:/ { dll = tolower($3); next }
  /^\t[0-9a-f]+[ \t]+(<none>[ \t]+[0-9a-f]+|[0-9]+)[ \t]+[^ ]+$/ { print dll, $NF }')
echo "$imported" | grep -qx 'api-ms-win-crt-stdio-l1-1-0.dll __stdio_common_vsprintf' ||
  die "does not import __stdio_common_vsprintf from api-ms-win-crt-stdio-l1-1-0.dll"

if [ -n "$map" ]; then
  [ -f "$map" ] || die "no link map $map"
  grep -q "^OUTPUT(.*$(basename "$dll") pei-i386)" "$map" || die "$map is not the map of $(basename "$dll")"
  # The cross-reference table as "symbol file" lines: a symbol's first file
  # defines it, the others refer to it.
  cref=$(awk '
    /^Cross Reference Table/ { table = 1; next }
    !table || NF == 0 || /^Symbol  / { next }
    /^[^ \t]/ { symbol = $1; if (NF > 1) print symbol, $NF, "defines"; first = NF == 1; next }
    { print symbol, $1, first ? "defines" : "refers"; first = 0 }' "$map")
  [ -n "$cref" ] || die "$map has no cross-reference table"
  # The component's formatter is bound to the import slot of the Universal CRT's export.
  echo "$cref" | grep -Eq '^_imp____stdio_common_vsprintf .*libapi-ms-win-crt-stdio-l1-1-0s[0-9]+\.o\) defines$' ||
    die "__stdio_common_vsprintf is not defined by the api-ms-win-crt-stdio import library"
  echo "$cref" | grep -Eq '^_imp____stdio_common_vsprintf .*platform_win32\.cpp\.obj\) refers$' ||
    die "platform_win32.cpp does not call __stdio_common_vsprintf through its import"
  # MinGW's printf family: nothing may refer to it but libstdc++'s demangler
  # (type names in its terminate message), which the project cannot rebuild.
  mingw_users=$(echo "$cref" | grep -E '^__mingw_[a-z]*printf ' | grep ' refers$' |
    grep -v 'libstdc++\.a(cp-demangle\.o) refers$' || true)
  [ -z "$mingw_users" ] || die "MinGW's formatter is used: $(echo "$mingw_users" | sed 's/ refers$//' | tr '\n' ';')"
  echo "linked: __stdio_common_vsprintf from the Universal CRT; no MinGW printf outside libstdc++'s demangler"
fi
echo "exports: $exports"
echo "imports: $(echo $imports)"
finish "the module's tables"
