#!/usr/bin/env bash
# The main job: builds the rehearsal program and runs it. Without arguments it rehearses the
# built-in default machine (an infected Windows XP); any arguments go to dravlin-sim
# (try --help). Installs what is missing (as root, Debian 12).
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install-missing.sh
install_missing g++ cmake make libgtest-dev nlohmann-json3-dev

# Optimised (with debug information): a whole PC's registry export loads in about a second.
cmake --preset release >&2
cmake --build --preset release -j"$(nproc)" --target dravlin-sim >&2
exec build/release/src/app/rehearsal/dravlin-sim "$@"
