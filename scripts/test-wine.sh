#!/usr/bin/env bash
# Builds the Windows program and its Windows suites with mingw-w64, checks what the shipped
# (i686) program needs from Windows to start, and runs the suites under Wine in a fresh prefix on
# a virtual display: the platform conformance suite, then the end-to-end suite. Installs what is
# missing (as root, Debian 12). Exit status 0 only when every check and suite passed.
#
# Two ways to run the suites, chosen by whether this host executes 32-bit programs:
#   32-bit: the i686 build in a 32-bit prefix (the shipped program itself);
#   64-bit: the same sources built for x86_64 in a 64-bit prefix, for hosts whose kernel runs no
#           32-bit programs.
# DRAVLIN_WINE_WAY=32 or 64 forces a way; a host that can run neither fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$SECONDS

say() { echo "test-wine: $*"; }
die() {
  echo "test-wine: $*" >&2
  exit 1
}

# ---- which way
# A 93-byte static i386 program that exits with 42: the plainest test of 32-bit execution.
runs_32bit_programs() {
  local probe status=0
  probe=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'\
'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00'\
'\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xc0\x40\x31\xdb\xb3\x2a\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  if ((status != 42)); then
    why32="this host does not execute 32-bit programs (an i386 test program gave status $status"
    if ((status == 126)); then why32+=": exec format error, the kernel's 32-bit emulation is off"; fi
    why32+=")"
    return 1
  fi
  # An emulator registered for i386 programs runs the test program but not 32-bit Wine.
  local entry
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [[ -f $entry ]] || continue
    if grep -qx enabled "$entry" 2>/dev/null && grep -q '^interpreter .*qemu-i386' "$entry"; then
      why32="this host runs 32-bit programs only through an emulator ($(basename "$entry"))"
      return 1
    fi
  done
  why32="this host executes 32-bit programs (an i386 test program ran)"
  return 0
}

why32=""
can32=0
runs_32bit_programs && can32=1
case "${DRAVLIN_WINE_WAY:-}" in
  "")
    if ((can32)); then way=32 why=$why32; else way=64 why=$why32; fi
    ;;
  32)
    ((can32)) || die "DRAVLIN_WINE_WAY=32, but $why32; the suites cannot run that way"
    way=32 why="forced by DRAVLIN_WINE_WAY=32 ($why32)"
    ;;
  64)
    way=64 why="forced by DRAVLIN_WINE_WAY=64 ($why32)"
    ;;
  *) die "DRAVLIN_WINE_WAY must be 32 or 64, not '${DRAVLIN_WINE_WAY}'" ;;
esac

# ---- tools
install_missing() {
  local need=() pkg
  local packages=(cmake make googletest g++-mingw-w64-i686-win32 wine fonts-wine xvfb xdotool
    imagemagick)
  if ((way == 32)); then
    packages+=(wine32:i386)
  else
    packages+=(g++-mingw-w64-x86-64-win32 wine64)
  fi
  for pkg in "${packages[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  ((${#need[@]})) || return 0
  if [[ $(id -u) -ne 0 ]]; then
    die "missing packages (${need[*]}); run as root to install them"
  fi
  say "installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ((way == 32)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q "${need[@]}"
}

install_missing
if ((way == 32)); then
  preset=mingw arch=win32
  loader=/usr/lib/wine/wine
else
  preset=mingw64 arch=win64
  loader=/usr/lib/wine/wine64
fi
build="$root/build/$preset"
[[ -x $loader ]] || die "the Wine loader $loader is missing"
if ! "$loader" --version >/dev/null 2>&1; then
  die "the Wine loader $loader does not run on this host; neither way can run the suites"
fi
say "Wine way: ${way}-bit ($preset build, $arch prefix, $loader): $why"

# ---- build, and the check of the shipped program (every way: it is cross-built)
cmake --preset mingw
cmake --build --preset mingw -j"$(nproc)"
failed=0
if ! ctest --preset mingw; then
  echo "test-wine: the shipped program's checks FAILED" >&2
  failed=1
fi
# What the check saw: imports and size.
ctest --preset mingw -R Imports.ProgramStartsOnEveryTarget -V | sed -n 's/^[0-9]*: //p' |
  grep -v '^Test command' || true
if ((way == 64)); then
  cmake --preset mingw64
  cmake --build --preset mingw64 -j"$(nproc)"
fi

# Every wine, wineboot, winepath and regedit call of the suites goes through the chosen loader
# (Debian's wine wrapper would take the 32-bit one whenever it is installed).
shims="$build/wine-loader"
mkdir -p "$shims"
for name in wine wine-stable; do
  printf '#!/bin/sh\nexec %s "$@"\n' "$loader" >"$shims/$name"
  chmod +x "$shims/$name"
done
export PATH="$shims:$PATH" WINELOADER=$loader

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
    ((++tries > 100)) && die "Xvfb did not start"
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$displayfile")"
  rm -f "$displayfile"
}

make_prefix() {
  export WINEPREFIX="$build/wineprefix"
  export WINEARCH=$arch
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || die "wineboot could not make a $arch prefix with $loader"
  wineserver -w
  wineserver -p >/dev/null 2>&1
  # The program targets Windows XP (a 64-bit prefix takes the same version names, and a 64-bit
  # program then reports 5.1 build 2600 too); without a window manager Wine would stall on
  # every close.
  wine reg add 'HKCU\Software\Wine' /v Version /d winxp /f >/dev/null
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
}

# ---- suites
run_conformance() {
  local name=dravlin_conformance_win32_tests
  local log="$build/$name.log"
  say "conformance suite under $(wine --version) (${way}-bit)"
  local status
  set +e
  wine "$build/tests/conformance/$name.exe" \
    --gtest_output="xml:$(winepath -w "$build/$name.xml")" 2>&1 | tr -d '\r' | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  if ((status != 0)) || ! grep -q '^\[  PASSED  \]' "$log"; then
    echo "test-wine: conformance suite FAILED" >&2
    failed=1
  fi
  local gaps
  gaps=$(grep -c '^\[ WINE GAP \]' "$log" || true)
  say "$gaps checks ran against a named Wine gap"
}

# The program's own throw helpers (tests/wine/lean_throw_check.cpp).
run_lean_throw_check() {
  say "throw helpers of the Windows program (${way}-bit)"
  local status
  set +e
  wine "$build/tests/wine/dravlin_lean_throw_tests.exe" 2>&1 | tr -d '\r'
  status=${PIPESTATUS[0]}
  set -e
  if ((status != 0)); then
    echo "test-wine: throw helper check FAILED" >&2
    failed=1
  fi
}

# The end-to-end suite of the Windows program (tests/wine/run-e2e.sh BUILD_DIR PREFIX), with
# DISPLAY, WINEPREFIX, WINEARCH, WINEDEBUG and WINEDLLOVERRIDES exported.
run_e2e() {
  local suite="$root/tests/wine/run-e2e.sh"
  [[ -f "$suite" ]] || die "the end-to-end suite is missing ($suite)"
  say "end-to-end suite (${way}-bit)"
  if ! bash "$suite" "$build" "$WINEPREFIX"; then
    echo "test-wine: end-to-end suite FAILED" >&2
    failed=1
  fi
}

start_display
make_prefix
run_conformance
run_lean_throw_check
run_e2e
verdict=passed
((failed == 0)) || verdict=FAILED
say "Wine way ${way}-bit: $verdict in $((SECONDS - started)) s"
exit "$failed"
