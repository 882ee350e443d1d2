#!/usr/bin/env bash
# Builds everything and runs the control pipe benchmark under Wine, in the
# build tree's own prefix: the helper's ping round trip against a minimal
# echo server with the same pipe settings, measured in the same run, and the
# helper's memory after 10,000 requests. Arguments go to pipe_bench
# (--requests N, --block N, --pause MS, --warmup N, --self-check, --verbose,
# --strict).
#
# The helper's pipe name is fixed: do not run this while the tests of the
# same build tree run. The benchmark refuses to start when the pipe is served.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
BUILD_DIR="$BUILD_DIR" scripts/bootstrap.sh >/dev/null
exec "$BUILD_DIR/wine-run" "$BUILD_DIR/pipe_bench.exe" "$@"
