#!/usr/bin/env bash
# clang-tidy over every C++ source of src/, with the checks of .clang-tidy; any finding fails.
# Installs what is missing (as root, Debian 12: clang-tidy 14, and mingw-w64 for the Win32 files).
#
# Two passes, each two files at a time:
#   native: the files the asan build compiles, read through build/asan/compile_commands.json;
#   Win32:  src/platform/win32/ and src/app/win32/, which build only for Windows, read through the
#           mingw build's compile_commands.json (build/mingw, configured here if need be) with
#           clang aimed at the same target and given mingw's C++ headers, which clang does not
#           find by itself in Debian's layout. Two checks are off for them (.clang-tidy says why).
# The build/ sources that CMake generates are not ours to tidy and are left out.
#
#   scripts/tidy.sh [file...]   only those files of src/
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

source scripts/install-missing.sh
install_missing clang-tidy g++-mingw-w64-i686-win32 googletest cmake git

[[ -f build/asan/compile_commands.json ]] || cmake --preset asan >/dev/null
[[ -f build/mingw/compile_commands.json ]] || cmake --preset mingw >/dev/null

if (($#)); then
  mapfile -t files < <(printf '%s\n' "$@")
else
  mapfile -t files < <(git ls-files 'src/*.cpp')
fi
native=() win32=()
for f in "${files[@]}"; do
  case "$f" in
    src/platform/win32/* | src/app/win32/*) win32+=("$f") ;;
    *) native+=("$f") ;;
  esac
done

# The compile commands are GCC's: clang does not know every warning option in them.
common=(--quiet --extra-arg=-Wno-unknown-warning-option)

# mingw's C++ library headers, as its g++ lists them; clang finds the C headers itself.
mingw_args=(--extra-arg=--target=i686-w64-mingw32
  "--checks=-bugprone-forward-declaration-namespace,-performance-no-int-to-ptr")
if ((${#win32[@]})); then
  mingw_cxx=$(sed -n 's/^ *"command": "\([^ ]*\) .*/\1/p' build/mingw/compile_commands.json |
    head -n1)
  while read -r dir; do
    mingw_args+=("--extra-arg=-isystem$dir")
  done < <("$mingw_cxx" -xc++ -E -v - </dev/null 2>&1 |
    sed -n '/^#include <\.\.\.> search starts here:/,/^End of search list/p' |
    sed -n 's/^ \(.*\/include\/c++.*\)$/\1/p')
  if ((${#mingw_args[@]} < 3)); then
    echo "tidy: no C++ headers found for $mingw_cxx" >&2
    exit 1
  fi
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
run() {
  local db=$1
  shift
  printf '%s\n' "$@" | xargs -r -P2 -n1 clang-tidy -p "$db" "${common[@]}" "${extra[@]}" \
    >>"$log" 2> >(grep -v -e 'warnings\? \(and [0-9]* errors\? \)\?generated\.$' \
      -e '^Suppressed [0-9]* warnings' -e '^Use -header-filter=' >&2) || status=1
}
extra=()
((${#native[@]})) && run build/asan "${native[@]}"
extra=("${mingw_args[@]}")
((${#win32[@]})) && run build/mingw "${win32[@]}"

# A header's finding comes once per file that includes it.
findings=$(grep -cE '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' "$log" || true)
if ((status != 0 || findings != 0)); then
  cat "$log"
  echo "tidy: FAILED, $findings findings in ${#files[@]} files ($((SECONDS - started)) s)" >&2
  exit 1
fi
echo "tidy: ${#native[@]} native and ${#win32[@]} Win32 files clean ($((SECONDS - started)) s)"
