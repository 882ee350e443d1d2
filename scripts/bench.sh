#!/usr/bin/env bash
# Builds everything and runs the benchmarks under Wine, in the build tree's
# own prefix. Each measures its subject against a baseline in the same run
# and prints ratios (see the README).
#
#   scripts/bench.sh                 every benchmark, one after another
#   scripts/bench.sh ARGS...         every benchmark, each given ARGS (only
#                                    the shared --self-check, --verbose and
#                                    --strict mean the same to all)
#   scripts/bench.sh NAME [ARGS...]  one benchmark: connect, network, pipe, route or
#                                    sniffer (or connect_bench, ...), with
#                                    its own options; `NAME --help` lists them
#
# The exit code is the first non-zero one of the benchmarks run: 1 when one
# could not run, 3 when one missed its target under --strict.
#
# pipe_bench and connect_bench start a helper on its fixed pipe name, and
# connect_bench installs the tunnel service AmneziaWGTunnel$Quorvel in the
# build's prefix: do not run them while the tests of the same build tree run.
# They refuse to start when the pipe is served (connect_bench also when that
# service exists) and remove what they started when they end.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
BENCH_DIR="$BUILD_DIR/bench"

names=()
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  name="${1%_bench}"
  shift
  if [ ! -f "bench/${name}_bench.cpp" ]; then
    echo "no benchmark called $name; there are:" \
      "$(cd bench && ls ./*_bench.cpp | sed 's|^\./||; s|_bench\.cpp$||' | tr '\n' ' ')" >&2
    exit 1
  fi
  names=("$name")
else
  for source in bench/*_bench.cpp; do
    source="${source##*/}"
    names+=("${source%_bench.cpp}")
  done
fi

BUILD_DIR="$BUILD_DIR" scripts/bootstrap.sh >/dev/null

status=0
for name in "${names[@]}"; do
  [ "${#names[@]}" -eq 1 ] || echo "==== ${name}_bench $*"
  # route_bench and sniffer_bench need the IP Helper stand-in beside them
  # loaded in place of Wine's own; wine-run asks for that (iphlpapi=n,b).
  rc=0
  "$BUILD_DIR/wine-run" "$BENCH_DIR/${name}_bench.exe" "$@" || rc=$?
  [ "$status" -ne 0 ] || status=$rc
  [ "${#names[@]}" -eq 1 ] || echo
done
exit "$status"
