#!/usr/bin/env bash
# check-imports.sh OBJDUMP EXE: fails when EXE imports a DLL that a bare Windows does not have
# (a runtime DLL such as libstdc++-6.dll or libwinpthread-1.dll means the static link broke).
set -euo pipefail
objdump=$1 exe=$2
allowed="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll shlwapi.dll
comctl32.dll msvcrt.dll"

dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
if [[ -z $dlls ]]; then
  echo "no import table read from $exe" >&2
  exit 1
fi
bad=0
for dll in $dlls; do
  if [[ " ${allowed//$'\n'/ } " == *" $dll "* ]]; then
    echo "ok      $dll"
  else
    echo "foreign $dll" >&2
    bad=1
  fi
done
echo "size    $(stat -c %s "$exe") bytes"
exit $bad
