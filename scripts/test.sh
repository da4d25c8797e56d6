#!/usr/bin/env bash
# Runs every test from a clean clone on Debian 12: installs what is missing, builds with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in g++ cmake make libgtest-dev libbenchmark-dev nlohmann-json3-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${need[@]}"
fi

cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan -j"$(nproc)"
