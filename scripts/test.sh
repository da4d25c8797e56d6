#!/usr/bin/env bash
# Runs every test from a clean clone on Debian 12 (as root; installs what is missing):
#  1. the native build with AddressSanitizer and UndefinedBehaviorSanitizer, clang-tidy over
#     src/ (scripts/tidy.sh), every CTest test (modules, simulated machine, conformance, workflow
#     scenarios, rehearsal, reliability);
#  2. the Windows program's import check, and its suites under 32-bit or 64-bit Wine, as the
#     host allows (scripts/test-wine.sh says which way ran and why);
#  3. the release, built three times from clean clones and compared (scripts/release.sh --check);
#  4. the fuzz targets for a bounded time each (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install-missing.sh
install_missing g++ cmake make libgtest-dev libbenchmark-dev nlohmann-json3-dev clang-format git \
  python3-jsonschema

# Formatting is part of the build: every tracked C++ file as clang-format writes it.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
# clang-tidy over src/, reading the compile commands of that build (and of the mingw one).
bash scripts/tidy.sh
ctest --preset asan -j"$(nproc)"

bash scripts/test-wine.sh
# The release builds the same bytes three times over, and they are the bytes the suites tested.
bash scripts/release.sh --check
cmp build/mingw/src/app/win32/dravlin.exe dist/dravlin.exe
if [[ -f scripts/fuzz.sh ]]; then
  bash scripts/fuzz.sh
fi

# How the tests weigh against the code they test.
bash scripts/count-lines.sh
