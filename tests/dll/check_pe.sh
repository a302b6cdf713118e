#!/bin/sh
# The shipped module's tables: PE32 for i386, exactly one export
# (foobar2000_get_interface), and imports only from Windows system DLLs.
set -eu
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
headers=$($objdump -p "$dll")
fail() { echo "FAIL: $*"; exit 1; }

echo "$headers" | grep -q 'file format pei-i386' || fail "not a PE32 i386 image"
symbols=$($objdump -t "$dll" | sed -n '/^SYMBOL TABLE:/,$p' | tail -n +2 | grep -v -e '^no symbols' | grep -c . || true)
[ "$symbols" -eq 0 ] || fail "not stripped: $symbols symbols"

exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | tail -n +2 | grep -E '^\s*\[' | sed -E 's/.*\] //')
[ "$exports" = "foobar2000_get_interface" ] || fail "exports are: $(echo $exports)"

imports=$(echo "$headers" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll|user32.dll|api-ms-win-crt-*.dll) ;;
    *) fail "imports $dll_name" ;;
  esac
done
echo "$imports" | grep -qx user32.dll || fail "does not import user32.dll"
echo "exports: $exports"
echo "imports: $(echo $imports)"
echo "1 passed, 0 failed"
