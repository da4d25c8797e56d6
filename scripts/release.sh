#!/usr/bin/env bash
# Builds the release of dravlin.exe into dist/: the program (i686, MinSizeRel, stripped: the
# `mingw` preset, the build the 32-bit Wine suites test), dravlin-VERSION.zip with the program
# and the user guide (LIESMICH.TXT in German, README.TXT in English), SHA256SUMS for both, and
# BUILDINFO.txt naming the compiler and binutils that made it.
#
#   scripts/release.sh           build the release
#   scripts/release.sh --check   build it twice more, from clean clones of HEAD in two other
#                                folders, with other SOURCE_DATE_EPOCH, time zones and clock
#                                times, and fail unless every file of dist/ is byte-identical
#
# The zip is written by Python's zipfile: fixed file order, file times and attributes, so that
# the same inputs give the same archive.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source scripts/install-missing.sh
install_missing cmake make python3 g++-mingw-w64-i686-win32

if [[ ${1:-} == --check ]]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  bash "$root/scripts/release.sh"
  for side in a b; do
    git clone --quiet "$root" "$work/$side-clone"
  done
  (cd "$work/a-clone" && SOURCE_DATE_EPOCH=1 TZ=UTC bash scripts/release.sh >/dev/null)
  sleep 2
  (cd "$work/b-clone" && SOURCE_DATE_EPOCH=2000000000 TZ=Pacific/Kiritimati \
    bash scripts/release.sh >/dev/null)
  status=0
  for file in "$root"/dist/*; do
    name=$(basename "$file")
    for side in a b; do
      if ! cmp -s "$file" "$work/$side-clone/dist/$name"; then
        echo "release: dist/$name differs between $root and a clean clone ($side)" >&2
        status=1
      fi
    done
  done
  ((status == 0)) && echo "release: reproducible, $(ls "$root/dist" | wc -l) files identical in three builds"
  exit $status
fi

version=$(sed -n 's/^#define DRAVLIN_VERSION_STRING "\(.*\)"$/\1/p' src/version.h)
[[ -n $version ]] || { echo "release: no version in src/version.h" >&2; exit 1; }

cmake --preset mingw >/dev/null
cmake --build --preset mingw --target dravlin -j"$(nproc)" >/dev/null
rm -rf dist
mkdir dist
cp build/mingw/src/app/win32/dravlin.exe dist/dravlin.exe
{
  echo "dravlin $version"
  i686-w64-mingw32-g++-win32 --version | head -n 1
  i686-w64-mingw32-ld --version | head -n 1
  dpkg-query -W -f '${Package} ${Version}\n' g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 \
    mingw-w64-i686-dev
  echo "zip: Python $(python3 -c 'import platform, zlib; print(platform.python_version(), "zlib", zlib.ZLIB_VERSION)')"
} >dist/BUILDINFO.txt

python3 - "$version" <<'PY'
import sys, zipfile
version = sys.argv[1]
def guide(path):
    # Notepad on Windows 95 reads the ANSI code page and wants CR LF.
    text = open(path, encoding="utf-8").read()
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("cp1252")
members = [
    ("dravlin.exe", open("dist/dravlin.exe", "rb").read()),
    ("LIESMICH.TXT", guide("docs/guide/LIESMICH.TXT")),
    ("README.TXT", guide("docs/guide/README.TXT")),
]
with zipfile.ZipFile(f"dist/dravlin-{version}.zip", "w") as z:
    for name, data in members:
        info = zipfile.ZipInfo(name, date_time=(2000, 1, 1, 0, 0, 0))
        info.create_system = 0  # MS-DOS: no Unix owner or mode inside
        info.external_attr = 0x20  # the archive bit, as Windows sets it
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, data, compresslevel=9)
PY
(cd dist && sha256sum dravlin.exe "dravlin-$version.zip" >SHA256SUMS)
echo "release: dist/ holds dravlin.exe ($(stat -c %s dist/dravlin.exe) bytes), dravlin-$version.zip, SHA256SUMS, BUILDINFO.txt"
