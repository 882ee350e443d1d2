#!/usr/bin/env bash
# The helper's main job, end to end under Wine: build, run it in the
# foreground and then as a service, drive it with quorvelctl, and show each
# request, its reply and exit code, and what the helper wrote to its log.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
BUILD_DIR="$BUILD_DIR" scripts/bootstrap.sh || exit 1
cd "$BUILD_DIR"
export WINEPREFIX="$BUILD_DIR/wineprefix"

request() {
  printf '> quorvelctl'; printf ' %q' "$@"; printf '\n'
  local reply rc
  reply=$(./wine-run quorvelctl.exe "$@" 2>&1); rc=$?
  printf '< %s   [exit %d]\n' "$reply" "$rc"
}

wait_for_pipe() {  # [--console-helper]
  for _ in $(seq 100); do
    ./wine-run quorvelctl.exe "$@" ping >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "the helper did not come up" >&2
  return 1
}

# Services get ProgramData=C:\users\Public from Wine (C:\ProgramData on Windows).
SERVICE_LOG="$WINEPREFIX/drive_c/users/Public/Quorvel/helper.log"

./wine-run QuorvelHelper.exe --uninstall >/dev/null 2>&1  # nothing left from an earlier run
sleep 1

echo
echo "== console mode: QuorvelHelper.exe --console"
./wine-run QuorvelHelper.exe --console &
wait_for_pipe --console-helper || exit 1
helper=$(pgrep -f '^QuorvelHelper.exe --console' | head -n 1)
echo "-- quorvelctl sends only to the QuorvelHelper service unless told otherwise"
request ping
request --console-helper ping
request --console-helper --raw "PING with arguments"
request --console-helper status
request --console-helper --raw "pings"
request --console-helper --raw " ping"
request --console-helper --raw ""
echo "-- Ctrl+C to the helper"
kill -INT "$helper"
wait %1; echo "helper exit code: $?"
request --console-helper ping

echo
echo "== service mode: QuorvelHelper.exe --install"
log_size=$(stat -c %s "$SERVICE_LOG" 2>/dev/null || echo 0)
./wine-run QuorvelHelper.exe --install; echo "--install exit code: $?"
wait_for_pipe || exit 1
./wine-run sc query QuorvelHelper | tr -d '\r' | grep -E 'SERVICE_NAME|STATE'
request ping
request status
request --raw "HELLO"
echo "-- QuorvelHelper.exe --uninstall"
./wine-run QuorvelHelper.exe --uninstall; echo "--uninstall exit code: $?"
for _ in $(seq 50); do ./wine-run sc query QuorvelHelper >/dev/null 2>&1 || break; sleep 0.1; done
request ping

echo
echo "== new lines in the service's helper.log ($SERVICE_LOG)"
tail -c +"$((log_size + 1))" "$SERVICE_LOG" 2>/dev/null | tr -d '\r'
