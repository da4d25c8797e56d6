#!/usr/bin/env bash
# Prints the non-blank lines of C++, CMake, shell and Python under src/, tests/ and fuzz/, and
# what the tests and fuzz harnesses come to as a share of src/. Counts tracked files only, so a
# build folder never counts.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  git ls-files -- "$1" | grep -E '\.(cpp|h|cmake|sh|py)$|(^|/)CMakeLists\.txt$' |
    { xargs -r cat -- || true; } | grep -cv '^[[:space:]]*$' || true
}

src=$(count src)
tests=$(count tests)
fuzz=$(count fuzz)
pct=$(( ((tests + fuzz) * 200 / src + 1) / 2 ))
echo "lines: src/ $src, tests/ $tests, fuzz/ $fuzz; tests and fuzz are ${pct}% of src/"
