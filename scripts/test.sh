#!/usr/bin/env bash
# Builds everything, runs the whole test suite under Wine, then fuzzes the
# parsers of untrusted input natively (scripts/fuzz.sh --smoke). Arguments go
# to ctest: scripts/test.sh -L quick runs the quick subset while working.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
BUILD_DIR="$BUILD_DIR" scripts/bootstrap.sh
# A second compiler's view: the same tree built with clang for the same
# target, warnings as errors (build only; the suite runs on the GCC build).
CLANG_DIR="$BUILD_DIR-clang"
echo "== building with clang in $CLANG_DIR"
if ! { cmake -S . -B "$CLANG_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/clang-mingw-w64-x86_64.cmake \
         -DCMAKE_BUILD_TYPE=Release -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST &&
       cmake --build "$CLANG_DIR" -j"$(nproc)"; } >"$CLANG_DIR.log" 2>&1; then
  grep -E "error|Error" "$CLANG_DIR.log" | head -40
  echo "the clang build failed (all of it in $CLANG_DIR.log)"
  exit 1
fi
cd "$BUILD_DIR"
status=0
# Each prefix's server and system processes looked at again just before the
# suite, with nowhere to write: whatever Wine starts here is not started by
# the first test, whose output pipe it would inherit and hold open.
for prefix in wineprefix wineprefix-b wineprefix-c wineprefix-msi; do
  WINEPREFIX="$PWD/$prefix" wineserver -p </dev/null >/dev/null 2>&1 || true
  WINEDEBUG="${QUORVEL_WINE_LOG:+-all,err+all,warn+service}" QUORVEL_WINEPREFIX="$PWD/$prefix" \
    ./wine-run wineboot </dev/null >/dev/null 2>>"${QUORVEL_WINE_LOG:-/dev/null}" || true
done
# Four at a time, one lane each: the tests of one Wine prefix that share
# the pipe and the service manager take that prefix's lock and still run one
# after another, the other prefixes' groups beside them, and the tests that
# need neither (mostly waiting: a tool left to hang for thirty seconds) fill
# in. Most of every lane is waiting (for a tool, a timer, a stop), so four
# lanes fit two cores.
ctest --output-on-failure --timeout 300 -j4 "$@" || status=$?
for prefix in wineprefix wineprefix-b wineprefix-c wineprefix-msi; do
  WINEPREFIX="$PWD/$prefix" wineserver -k 2>/dev/null || true
done
cd "$ROOT"
# The parsers of untrusted input fuzzed natively, after the suite so that
# its timing is not shared with them: each target briefly over the
# committed corpus, then the DNS differential. Only for the whole suite: a
# run with ctest arguments is a subset picked while working.
if [ "$#" -eq 0 ]; then
  BUILD_DIR="$BUILD_DIR" scripts/fuzz.sh --smoke "${QUORVEL_FUZZ_SECONDS:-20}" || status=1
else
  echo "== the fuzz lane is left out of a run with ctest arguments (scripts/fuzz.sh --smoke runs it)"
fi
exit $status
