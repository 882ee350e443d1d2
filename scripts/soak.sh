#!/usr/bin/env bash
# Soak: random requests against the real helper for as long as asked (an
# hour by default), with a report every minute: requests per second,
# failures, the helper's memory and handles. The same program runs for 30
# seconds in the test suite. Not for CI.
#
#   scripts/soak.sh [SECONDS] [--seed S]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
SECONDS_TO_RUN="${1:-3600}"
shift || true
BUILD_DIR="$BUILD_DIR" scripts/bootstrap.sh >/dev/null
exec "$BUILD_DIR/wine-run" "$BUILD_DIR/tests/pipe_fuzz.exe" --seconds "$SECONDS_TO_RUN" \
  --report-every 60 "$@"
