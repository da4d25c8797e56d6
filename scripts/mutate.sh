#!/usr/bin/env bash
# Mutation score of the native suites. Each row of scripts/mutations.tsv names a file, a text
# that stands in it exactly once and its replacement. For each row in turn the text is replaced,
# the native build (build/mutate, Debug, no sanitizers, so a row costs seconds) is rebuilt
# incrementally and CTest runs until the first failure; then the file is put back byte for byte.
#
#   scripts/mutate.sh [substring...]   only the rows whose file or text contains a substring
#
# A mutation is killed when a test fails or times out, survives when every test passes, and is
# invalid when it does not compile (not counted). A row whose text is not found exactly once
# fails the run: the list must follow the code.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
list="$root/scripts/mutations.tsv"
build="$root/build/mutate"
jobs="${MUTATE_JOBS:-$(nproc)}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DDRAVLIN_BENCH=OFF -DDRAVLIN_WERROR=OFF >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
ctest --test-dir "$build" -j"$jobs" --timeout 300 >/dev/null || {
  echo "mutate: the unmutated suite fails; nothing to measure" >&2
  exit 1
}

backup=""
target=""
restore() {
  if [[ -n "$backup" ]]; then
    cp "$backup" "$target"
    rm -f "$backup"
    backup=""
  fi
}
trap restore EXIT INT TERM

# apply FILE FROM TO: replaces the one occurrence of FROM (with \t and \n escapes) in FILE.
apply() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1:]
unescape = lambda s: s.replace("\\n", "\n").replace("\\t", "\t")
old, new = unescape(old), unescape(new)
text = open(path, encoding="utf-8").read()
n = text.count(old)
if n != 1:
    sys.exit(f"{n} occurrences")
open(path, "w", encoding="utf-8").write(text.replace(old, new))
PY
}

killed=0
survived=0
invalid=0
survivors=()
row=0
while IFS=$'\t' read -r file from to || [[ -n "$file" ]]; do
  [[ -z "$file" || "$file" == \#* ]] && continue
  row=$((row + 1))
  if (($#)); then
    match=0
    for s in "$@"; do [[ "$file$from" == *"$s"* ]] && match=1; done
    ((match)) || continue
  fi
  target="$root/$file"
  backup=$(mktemp)
  cp -p "$target" "$backup"
  if ! why=$(apply "$target" "$from" "$to" 2>&1); then
    restore
    echo "mutate: row $row ($file): text '$from' found $why, expected once" >&2
    exit 1
  fi
  label="#$row $file: '$from' -> '$to'"
  if ! cmake --build "$build" -j"$jobs" >/dev/null 2>&1; then
    invalid=$((invalid + 1))
    echo "invalid   $label"
  elif ctest --test-dir "$build" -j"$jobs" --timeout 300 --stop-on-failure >/dev/null 2>&1; then
    survived=$((survived + 1))
    survivors+=("$label")
    echo "SURVIVED  $label"
  else
    killed=$((killed + 1))
    echo "killed    $label"
  fi
  restore
done <"$list"

# Put the build back in step with the unmutated sources.
cmake --build "$build" -j"$jobs" >/dev/null
total=$((killed + survived))
if ((total == 0)); then
  echo "mutate: no mutation ran" >&2
  exit 1
fi
echo "mutations: $killed killed, $survived survived, $invalid invalid; score $((killed * 100 / total))% ($killed/$total)"
