#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine,
# configures and builds into build/ and initialises that build's Wine prefix.
# Safe to run again: packages already present are not fetched twice.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
# wixl is a package of its own in Debian, apart from msitools (msiinfo,
# msibuild); the test of the package's signing makes its certificate with
# openssl.
PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 cmake make googletest procps python3 clang
          wixl msitools osslsigncode openssl)
source scripts/packages.sh
ensure_packages "${PACKAGES[@]}"

echo "== configuring and building in $BUILD_DIR"
cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
# The prefix must exist before the build: test discovery runs the test
# programs under Wine. Its first start takes several seconds.
if [ ! -f "$BUILD_DIR/wineprefix/system.reg" ]; then
  echo "== creating the Wine prefix $BUILD_DIR/wineprefix"
  "$BUILD_DIR/wine-run" wineboot --init >/dev/null 2>&1 || true
fi
# A persistent wineserver, with Wine's own system processes (service
# manager and the like) started here, keeps every later Wine start at a
# fraction of a second. Started from a test instead, those processes would
# inherit that test's output pipe and ctest would wait for them to exit.
# A server already up (say, still lingering after the prefix was created)
# cannot be made persistent, so it is ended first; scripts/test.sh ends ours.
WINEPREFIX="$BUILD_DIR/wineprefix" wineserver -k 2>/dev/null || true
WINEPREFIX="$BUILD_DIR/wineprefix" wineserver -w 2>/dev/null || true
# Prefixes for the groups of tests that run beside the first
# (tests/CMakeLists.txt): copies made while no server of the first runs.
for lane in b c; do
  if [ ! -f "$BUILD_DIR/wineprefix-$lane/system.reg" ]; then
    rm -rf "$BUILD_DIR/wineprefix-$lane"
    cp -a "$BUILD_DIR/wineprefix" "$BUILD_DIR/wineprefix-$lane"
  fi
done
# A third for the installer's tests, where msiexec installs and starts
# services. Wine's service manager gives services ProgramData=C:\users\Public
# unless the user's environment names it; named C:\ProgramData, as Windows
# has it, the helper's data folder is the one the package's uninstall
# cleans (CommonAppDataFolder). The manager reads it when it starts, so it
# is set before the prefix's server starts for good below.
if [ ! -f "$BUILD_DIR/wineprefix-msi/system.reg" ]; then
  rm -rf "$BUILD_DIR/wineprefix-msi"
  cp -a "$BUILD_DIR/wineprefix" "$BUILD_DIR/wineprefix-msi"
  QUORVEL_WINEPREFIX="$BUILD_DIR/wineprefix-msi" "$BUILD_DIR/wine-run" reg add 'HKCU\Environment' \
    /v ProgramData /d 'C:\ProgramData' /f </dev/null >/dev/null 2>&1
fi
for prefix in "$BUILD_DIR/wineprefix" "$BUILD_DIR/wineprefix-b" "$BUILD_DIR/wineprefix-c" \
              "$BUILD_DIR/wineprefix-msi"; do
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  WINEPREFIX="$prefix" wineserver -w 2>/dev/null || true
  WINEPREFIX="$prefix" wineserver -p </dev/null >/dev/null 2>&1
  # QUORVEL_WINE_LOG names a file for the errors of Wine's system processes
  # and of every service they start (the helper among them): for a failure
  # the tests' own output cannot explain.
  WINEDEBUG="${QUORVEL_WINE_LOG:+-all,err+all,warn+service}" QUORVEL_WINEPREFIX="$prefix" \
    "$BUILD_DIR/wine-run" wineboot </dev/null >/dev/null 2>>"${QUORVEL_WINE_LOG:-/dev/null}" || true
done
cmake --build "$BUILD_DIR" -j"$(nproc)"
