#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
BUILD_DIR="$BUILD_DIR" scripts/bootstrap.sh
cd "$BUILD_DIR"
status=0
ctest --output-on-failure --timeout 300 || status=$?
WINEPREFIX="$PWD/wineprefix" wineserver -k 2>/dev/null || true
exit $status
