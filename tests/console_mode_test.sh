#!/usr/bin/env bash
# Console mode ends on Ctrl+C: Wine turns SIGINT into CTRL_C_EVENT for a
# console program, as pressing Ctrl+C in its window does on Windows. The
# helper must be gone within 2 seconds with exit code 0 and its pipe closed.
# (Wine also exits with 0 when no handler is installed, so the handler's own
# behaviour is checked in console_test.cpp; this checks the whole road.)
# quorvelctl is told that it talks to a console helper, not the service.
set -u
helper="$1" ctl="$2" wine_run="$3"

"$wine_run" "$helper" --console &
pid=$!
up=0
for _ in $(seq 100); do
  if [ "$("$wine_run" "$ctl" --console-helper ping 2>/dev/null | tr -d '\r')" = "OK" ]; then up=1; break; fi
  sleep 0.1
done
if [ "$up" != 1 ]; then echo "FAIL: the console helper did not answer ping"; kill -9 "$pid"; exit 1; fi

start=$(date +%s%N)
kill -INT "$pid"
wait "$pid"; code=$?
took_ms=$(( ($(date +%s%N) - start) / 1000000 ))
echo "exit code $code after ${took_ms} ms"

"$wine_run" "$ctl" --console-helper ping >/dev/null 2>&1; ctl_code=$?

failed=0
[ "$code" = 0 ] || { echo "FAIL: expected exit code 0"; failed=1; }
[ "$took_ms" -le 2000 ] || { echo "FAIL: took longer than 2000 ms"; failed=1; }
[ "$ctl_code" = 2 ] || { echo "FAIL: quorvelctl should report an unreachable helper (2), got $ctl_code"; failed=1; }
exit $failed
