#!/usr/bin/env bash
# Builds the MSI from the release build (build/, or BUILD_DIR):
#
#   scripts/package.sh --third-party FOLDER [--sign PFX [--password-file FILE]
#                      [--timestamp URL]] [--out FOLDER]
#
# FOLDER holds what the package carries from others: amneziawg.exe
# (AmneziaWG for Windows), WinDivert.dll and WinDivert64.sys (WinDivert 2.2,
# x64). With --sign both executables of ours are signed before they go into
# the package, and then the package (osslsigncode, SHA-256; --password-file
# names a file holding the PKCS#12 password, --timestamp an RFC 3161
# server). Writes QuorvelHelper-<version>-x64.msi into the out folder
# (default BUILD_DIR/package), and beside it QuorvelHelper-<version>-x64-wix:
# the fragment, its include file and the files as packaged, for a vendor's
# own installer. Installs what it needs when missing, as the other scripts
# do. The msi_package target of the CMake build does the same from cache
# variables.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"

usage() {
  sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
third_party="" out="$BUILD_DIR/package" pfx="" signing=()
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case "$1" in
    --third-party) third_party="$(realpath -m "$2")" ;;
    --sign) pfx="$(realpath -m "$2")" ;;
    --password-file) signing+=(--password-file "$(realpath -m "$2")") ;;
    --timestamp) signing+=(--timestamp "$2") ;;
    --out) out="$(realpath -m "$2")" ;;
    *) usage ;;
  esac
  shift 2
done
[ -n "$third_party" ] || usage
if [ -n "$pfx" ]; then
  signing+=(--sign "$pfx")
elif [ "${#signing[@]}" -gt 0 ]; then
  echo "package.sh: --password-file and --timestamp go with --sign" >&2
  exit 2
fi

source scripts/packages.sh
ensure_packages g++-mingw-w64-x86-64-posix cmake make python3 wixl msitools osslsigncode

# A tree configured already (bootstrap.sh's, say) is built as it is: a new
# configure would regenerate the test lists of a tree whose tests may be
# running.
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD_DIR" -j"$(nproc)" --target QuorvelHelper quorvelctl >/dev/null
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")"
name="QuorvelHelper-$version-x64"

python3 scripts/make_msi.py build --helper "$BUILD_DIR/QuorvelHelper.exe" \
  --client "$BUILD_DIR/quorvelctl.exe" --third-party "$third_party" --version "$version" \
  --include-dir "$BUILD_DIR/installer" --out "$out/$name.msi" --kit "$out/$name-wix" \
  "${signing[@]}"
echo "$out/$name.msi"
