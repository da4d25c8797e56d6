#!/usr/bin/env bash
# check-imports.sh OBJDUMP EXE TABLE
# Fails when the header of EXE does not ask for Windows 4.0 and the GUI subsystem, or when an
# imported function is not in TABLE (tests/wine/imports.tsv: no function of a DLL that a bare
# Windows lacks is, such as libstdc++-6.dll when the static link broke), is newer than the oldest
# targets (NT 4.0, Windows 95 with Internet Explorer 4), or is only a failing stub on Windows
# 95/98/ME while code that runs there may call it.
set -euo pipefail
objdump=$1 exe=$2 table=$3
headers=$("$objdump" -p "$exe")
bad=0
echo "size    $(stat -c %s "$exe") bytes"
# The header: Windows 95 and NT 4.0 refuse a program that asks for a later system.
for field in MajorOSystemVersion:4 MinorOSystemVersion:0 MajorSubsystemVersion:4 \
  MinorSubsystemVersion:0; do
  actual=$(awk -v f="${field%%:*}" '$1 == f { print $2 }' <<<"$headers")
  if [[ $actual != "${field#*:}" ]]; then
    echo "header  ${field%%:*} is '${actual}', must be ${field#*:}" >&2
    bad=1
  fi
done
if ! grep -q '^Subsystem[[:space:]].*(Windows GUI)' <<<"$headers"; then
  echo "header  subsystem is not Windows GUI" >&2
  bad=1
fi
# Every imported function: "dll<TAB>name", by ordinal as "#n".
imports=$(awk '
  /^[[:space:]]*DLL Name: / { dll = tolower($3); next }
  dll != "" && /^\t[0-9a-f]+\t/ {
    if ($3 == "<none>") print dll "\t#" $2; else if (NF >= 3) print dll "\t" $3
  }
  /^$/ { if (seen) dll = ""; seen = (dll != "") }' <<<"$headers")
verdicts=$(awk -F'\t' '
  # The targets: NT 4.0 SP6 (Internet Explorer 4 brings shlwapi) and Windows 95 with IE 4.
  function nt_ok(v) { return v == "NT3.1" || v == "NT3.51" || v == "NT4.0" || v == "NT4.0+IE4" }
  function dos_ok(v, use) { return v == "95" || v == "95+IE4" || (v == "stub" && use == "nt") }
  FNR == NR { if (FNR > 1) { key = tolower($1) "\t" $2; nt[key] = $3; dos[key] = $4; use[key] = $5 } next }
  {
    key = $1 "\t" $2
    if (!(key in nt)) { print "missing\t" key "\tnot in the table"; next }
    if (!nt_ok(nt[key])) { print "newer\t" key "\tfirst NT version " nt[key]; next }
    if (!dos_ok(dos[key], use[key])) {
      if (dos[key] == "stub") print "stub\t" key "\ta stub on Windows 95/98/ME, called there"
      else print "newer\t" key "\tDOS-based versions: " dos[key]
      next
    }
    print "ok\t" key "\tNT " nt[key] ", DOS " dos[key] (use[key] == "nt" ? ", called on NT only" : "")
  }' "$table" - <<<"$imports")
count=$(grep -c . <<<"$verdicts" || true)
if ((count == 0)); then
  echo "no imported functions read from $exe" >&2
  bad=1
fi
if grep -v '^ok' <<<"$verdicts" | awk -F'\t' '{ printf "import  %-8s %s!%s: %s\n", $1, $2, $3, $4 }' >&2; then
  bad=1
fi
echo "imports $count functions; $(grep -c $'^ok\t' <<<"$verdicts" || true) load on every target"
exit $bad
