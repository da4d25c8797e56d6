#!/usr/bin/env bash
# check-layers.sh: fails when an #include "..." goes against the direction of the layers.
#
# Each folder of src/ may include the folders listed for it below and nothing else; a new folder
# must be listed before it may include anything. The shipped program (platform/, regfile/,
# registry/, system/, workflow/, app/win32/) never includes the simulated machine (sim/) or the
# rehearsal, and platform/ includes nothing above itself. A test, benchmark or fuzz folder
# includes src/, its own files and tests/support/, never another test folder's files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

declare -A may=(
  [platform]="platform"
  [platform/win32]="platform platform/win32"
  [regfile]="platform regfile"
  [registry]="platform registry"
  [system]="platform system"
  [workflow]="platform regfile registry system workflow ."
  [app/win32]="platform platform/win32 workflow app/win32 ."
  [sim]="platform sim"
  [sim/persist]="platform regfile sim sim/persist"
  [sim/run]="platform workflow sim sim/run"
  [app/rehearsal]="platform regfile system workflow sim sim/persist sim/run app/rehearsal ."
  [.]="."
)

bad=0
offend() { printf '%s:%s: %s\n' "$1" "$2" "$3"; bad=1; }

# includes FILE: "line<TAB>name" for each quoted include.
includes() { grep -n -o '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*"' "$1" | sed -E 's/^([0-9]+):.*"([^"]*)"$/\1\t\2/' || true; }

while IFS= read -r file; do
  folder=$(dirname "${file#src/}")
  if [[ -z ${may[$folder]+set} ]]; then
    offend "$file" 1 "folder src/$folder has no layer rule in scripts/check-layers.sh"
    continue
  fi
  while IFS=$'\t' read -r line name; do
    [[ -n $name ]] || continue
    if [[ $name != */* && -e $(dirname "$file")/$name ]]; then
      target=$folder  # beside the file
    elif [[ -e src/$name ]]; then
      target=$(dirname "$name")
    else
      offend "$file" "$line" "\"$name\" is no file of src/"
      continue
    fi
    [[ " ${may[$folder]} " == *" $target "* ]] ||
      offend "$file" "$line" "src/$folder may not include src/$target/ (\"$name\")"
  done < <(includes "$file")
done < <(git ls-files 'src/*.h' 'src/*.cpp' 'src/*.rc' 'src/*.inc')

while IFS= read -r file; do
  folder=$(dirname "$file")
  while IFS=$'\t' read -r line name; do
    [[ -n $name ]] || continue
    [[ -e $folder/$name || -e src/$name || $name == support/* ]] && continue
    # Built files (the conformance call table) live in the build tree.
    [[ $name == *.inc ]] && continue
    [[ -e tests/$name && $name == "${folder#tests/}"/* ]] && continue
    offend "$file" "$line" "\"$name\" is neither beside it, in src/ nor in tests/support/"
  done < <(includes "$file")
done < <(git ls-files 'tests/*.h' 'tests/*.cpp' 'bench/*.h' 'bench/*.cpp' 'fuzz/*.h' 'fuzz/*.cpp')

if ((bad)); then
  echo "check-layers: includes against the layers (see scripts/check-layers.sh)" >&2
  exit 1
fi
echo "check-layers: every include follows the layers"
