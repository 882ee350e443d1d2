#!/usr/bin/env bash
# The fuzz project (fuzz/): every parser of untrusted input, natively with
# clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/fuzz.sh [SECONDS] [TARGET]   each target (or TARGET alone) for
#       SECONDS (default 600), then what it reached merged into
#       fuzz/corpus/TARGET (only inputs that add coverage are kept)
#   scripts/fuzz.sh --smoke [SECONDS]    the test command's lane: each target
#       for SECONDS (default 20) over the committed corpus, merging nothing,
#       then the DNS differential against dnspython
#
# A crash, a sanitizer report or a broken property fails the run and leaves
# the input in BUILD_DIR-fuzz/artifacts/ (README: "Fuzzing").
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=0
if [ "${1:-}" = "--smoke" ]; then
  smoke=1
  shift
  seconds="${1:-20}"
  only=""
else
  seconds="${1:-600}"
  only="${2:-}"
fi
TARGETS=(dns_message dns_packet lists config journal_line request)
if [ -n "$only" ] && [[ ! " ${TARGETS[*]} " =~ " $only " ]]; then
  echo "no fuzz target $only (targets: ${TARGETS[*]})" >&2
  exit 2
fi

# libFuzzer and the sanitizers' run-time come with Debian's clang 14 in
# libclang-rt-14-dev; dnspython for /usr/bin/python3 (a python3 elsewhere on
# PATH may lack it, so the differential calls /usr/bin/python3 by name).
source scripts/packages.sh
ensure_packages clang libclang-rt-14-dev cmake make python3 python3-dnspython

BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
FUZZ_DIR="$BUILD_DIR-fuzz"
echo "== building the fuzz targets in $FUZZ_DIR"
if ! { cmake -S fuzz -B "$FUZZ_DIR" -DCMAKE_CXX_COMPILER=clang++ &&
       cmake --build "$FUZZ_DIR" -j"$(nproc)"; } >"$FUZZ_DIR.log" 2>&1; then
  grep -E "error|Error" "$FUZZ_DIR.log" | head -40
  echo "the fuzz build failed (all of it in $FUZZ_DIR.log)"
  exit 1
fi

mkdir -p "$FUZZ_DIR/artifacts"
# One target's run: new inputs go to a scratch folder, the committed corpus
# is only read. Exit codes: libFuzzer's 77 for a crash, a sanitizer report or
# a broken property (abort), 70 for an input that runs past -timeout.
run_target() {
  local target="$1" scratch="$FUZZ_DIR/new/$1"
  rm -rf "$scratch"
  mkdir -p "$scratch" "fuzz/corpus/$target"
  local max_len=4096
  [ "$target" = lists ] && max_len=2048
  "$FUZZ_DIR/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="$max_len" -error_exitcode=77 -timeout_exitcode=70 -print_final_stats=1 \
    -artifact_prefix="$FUZZ_DIR/artifacts/$target-" "$scratch" "fuzz/corpus/$target" \
    >"$FUZZ_DIR/$target.log" 2>&1
}

summary() {
  local target="$1" status="$2" log="$FUZZ_DIR/$1.log"
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -eq 0 ]; then
    printf '%-13s %10s inputs in %ss, nothing found\n' "$target" "${runs:-?}" "$seconds"
    return 0
  fi
  printf '%-13s FAILED (exit %s)\n' "$target" "$status"
  grep -E -A3 "property broken|ERROR: (AddressSanitizer|libFuzzer)|runtime error" "$log" | head -12
  local artifact
  artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
  [ -n "$artifact" ] && echo "  reproduce: $FUZZ_DIR/${target}_fuzz $artifact"
  echo "  the whole run: $log"
  return 1
}

failed=0
if [ "$smoke" -eq 1 ]; then
  echo "== fuzzing each target for ${seconds}s over fuzz/corpus, $(nproc) at a time"
  # Two lanes (the cores there are), each target's status kept for the
  # summary below.
  pids=() names=()
  for target in "${TARGETS[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
    run_target "$target" &
    pids+=($!) names+=("$target")
  done
  for i in "${!pids[@]}"; do
    status=0
    wait "${pids[$i]}" || status=$?
    summary "${names[$i]}" "$status" || failed=1
  done
  echo "== the DNS differential against dnspython"
  /usr/bin/python3 fuzz/dns_differential.py "$FUZZ_DIR/dns_reader" || failed=1
  exit $failed
fi

for target in "${TARGETS[@]}"; do
  [ -n "$only" ] && [ "$target" != "$only" ] && continue
  echo "== fuzzing $target for ${seconds}s"
  status=0
  run_target "$target" || status=$?
  summary "$target" "$status" || { failed=1; continue; }
  before=$(find "fuzz/corpus/$target" -type f | wc -l)
  "$FUZZ_DIR/${target}_fuzz" -merge=1 "fuzz/corpus/$target" "$FUZZ_DIR/new/$target" \
    >"$FUZZ_DIR/$target.merge.log" 2>&1
  after=$(find "fuzz/corpus/$target" -type f | wc -l)
  echo "   fuzz/corpus/$target: $before inputs, now $after"
done
exit $failed
