#!/usr/bin/env bash
# Builds the helper and the control pipe benchmark and runs the benchmark
# under Wine in the build tree's own prefix. Arguments go to pipe_bench
# (--rounds N, --block N, --warmup N, --helper PATH, --strict).
#
# The helper's pipe name is fixed: do not run this while the tests of the
# same build tree run, or either may talk to the other's helper. The
# benchmark refuses to start when the pipe is already served.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"

cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
if [ ! -f "$BUILD_DIR/wineprefix/system.reg" ]; then
  echo "== creating the Wine prefix $BUILD_DIR/wineprefix"
  "$BUILD_DIR/wine-run" wineboot --init >/dev/null 2>&1 || true
fi
# Only what the benchmark needs: the test programs are not required here.
cmake --build "$BUILD_DIR" --target pipe_bench QuorvelHelper -j"$(nproc)"
exec "$BUILD_DIR/wine-run" "$BUILD_DIR/pipe_bench.exe" "$@"
