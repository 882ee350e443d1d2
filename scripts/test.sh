#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine. Arguments go to
# ctest: scripts/test.sh -L quick runs the quick subset while working.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
BUILD_DIR="$BUILD_DIR" scripts/bootstrap.sh
cd "$BUILD_DIR"
status=0
# Two at a time: the tests of one Wine prefix that share the pipe and the
# service manager take that prefix's lock and still run one after another;
# the other prefix's group, and tests that need neither, run beside them.
ctest --output-on-failure --timeout 300 -j2 "$@" || status=$?
WINEPREFIX="$PWD/wineprefix" wineserver -k 2>/dev/null || true
WINEPREFIX="$PWD/wineprefix-b" wineserver -k 2>/dev/null || true
exit $status
