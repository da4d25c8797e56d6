#!/usr/bin/env bash
# Builds the Windows program and its Windows suites with mingw-w64 and runs them under Wine in a
# fresh 32-bit prefix on a virtual display: the platform conformance suite, then the end-to-end
# suite when it exists. Installs what is missing (as root, Debian 12). Exit status 0 only when
# every suite passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/mingw"
started=$SECONDS

# ---- tools
install_missing() {
  local need=()
  local pkg
  for pkg in cmake make googletest g++-mingw-w64-i686-win32 wine wine32:i386 fonts-wine xvfb xdotool \
    imagemagick; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  ((${#need[@]})) || return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "test-wine: missing packages (${need[*]}); run as root to install them" >&2
    exit 1
  fi
  echo "test-wine: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q "${need[@]}"
}

# ---- build
build_all() {
  cmake --preset mingw
  cmake --build --preset mingw -j"$(nproc)"
}

# ---- display and prefix (every process started here is ended by its id or by wineserver -k)
xvfb_pid=""
cleanup() {
  if [[ -n "${WINEPREFIX:-}" && -d "${WINEPREFIX}" ]]; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  if [[ -n "$xvfb_pid" ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

start_display() {
  local displayfile
  displayfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
  xvfb_pid=$!
  local tries=0
  until [[ -s "$displayfile" ]]; do
    ((++tries > 100)) && { echo "test-wine: Xvfb did not start" >&2; exit 1; }
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$displayfile")"
  rm -f "$displayfile"
}

make_prefix() {
  export WINEPREFIX="$build/wineprefix"
  export WINEARCH=win32
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  wineserver -p >/dev/null 2>&1
  # The program targets Windows XP; without a window manager Wine would stall on every close.
  wine reg add 'HKCU\Software\Wine' /v Version /d winxp /f >/dev/null
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
}

# ---- suites
failed=0

run_conformance() {
  local log="$build/conformance_win32.log"
  echo "test-wine: conformance suite under $(wine --version)"
  local status
  set +e
  wine "$build/tests/conformance/conformance_win32.exe" \
    --gtest_output="xml:$(winepath -w "$build/conformance_win32.xml")" 2>&1 | tr -d '\r' | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  if ((status != 0)) || ! grep -q '^\[  PASSED  \]' "$log"; then
    echo "test-wine: conformance suite FAILED" >&2
    failed=1
  fi
  local gaps
  gaps=$(grep -c '^\[ WINE GAP \]' "$log" || true)
  echo "test-wine: $gaps checks ran against a named Wine gap"
}

# The end-to-end suite of the Windows program (tests/wine/run-e2e.sh BUILD_DIR PREFIX), with
# DISPLAY, WINEPREFIX, WINEARCH, WINEDEBUG and WINEDLLOVERRIDES exported.
run_e2e() {
  local suite="$root/tests/wine/run-e2e.sh"
  if [[ ! -f "$suite" ]]; then
    echo "test-wine: no end-to-end suite yet ($suite)"
    return 0
  fi
  echo "test-wine: end-to-end suite"
  if ! bash "$suite" "$build" "$WINEPREFIX"; then
    echo "test-wine: end-to-end suite FAILED" >&2
    failed=1
  fi
}

install_missing
build_all
start_display
make_prefix
run_conformance
run_e2e
echo "test-wine: finished in $((SECONDS - started)) s"
exit "$failed"
