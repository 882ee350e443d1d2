#!/usr/bin/env bash
# Console mode ends on Ctrl+C: Wine turns SIGINT into CTRL_C_EVENT for a
# console program, as pressing Ctrl+C in its window does on Windows. The
# helper must take down what it set up (every bypass route it created is
# deleted, as the IP Helper stand-in's journal shows), then be gone within
# 2 seconds with exit code 0 and its pipe closed. Without a console control
# handler Wine ends the process with 0 as well, but nothing is cleaned up.
# quorvelctl is told that it talks to a console helper, not the service.
set -u
helper="$1" ctl="$2" wine_run="$3" testbed="$4" rig="$5"

rm -rf "$rig" && mkdir -p "$rig/awg" || exit 1
cp "$helper" "$testbed/iphlpapi.dll" "$testbed/WinDivert.dll" "$rig/" &&
  cp "$testbed/amneziawg.exe" "$rig/awg/" || exit 1
printf 'route 0.0.0.0 0.0.0.0 192.168.1.1 7 25\n' >"$rig/iphlpapi-scenario.txt"
printf '[Interface]\n' >"$rig/tunnel.conf"
journal="$rig/iphlpapi-journal.txt"
ctl() { (cd "$rig" && "$wine_run" "$ctl" --console-helper "$@" 2>&1 | tr -d '\r'); }

(cd "$rig" && exec "$wine_run" ./QuorvelHelper.exe --console) &
pid=$!
up=0
for _ in $(seq 100); do
  if [ "$(ctl ping)" = "OK" ]; then up=1; break; fi
  sleep 0.1
done
if [ "$up" != 1 ]; then echo "FAIL: the console helper did not answer ping"; kill -9 "$pid"; exit 1; fi

failed=0
[ "$(ctl bypassnets '10.0.0.0/8;172.16.0.0/12')" = "OK" ] || { echo "FAIL: bypassnets"; failed=1; }
[ "$(ctl connect tunnel.conf)" = "OK" ] || { echo "FAIL: connect"; failed=1; }
created=$(grep -c '^create .* rc=0' "$journal")

start=$(date +%s%N)
kill -INT "$pid"
wait "$pid"; code=$?
took_ms=$(( ($(date +%s%N) - start) / 1000000 ))
deleted=$(grep -c '^delete .* rc=0' "$journal")
echo "exit code $code after ${took_ms} ms; routes created $created, deleted $deleted"

"$wine_run" "$ctl" --console-helper ping >/dev/null 2>&1; ctl_code=$?
# The tunnel outlives the helper by design; this test takes it down itself.
"$wine_run" "$rig/awg/amneziawg.exe" /uninstalltunnelservice Quorvel >/dev/null 2>&1

[ "$created" = 2 ] || { echo "FAIL: expected 2 routes before the Ctrl+C"; failed=1; }
[ "$deleted" = "$created" ] || { echo "FAIL: routes left behind after the Ctrl+C"; failed=1; }
[ "$code" = 0 ] || { echo "FAIL: expected exit code 0"; failed=1; }
[ "$took_ms" -le 2000 ] || { echo "FAIL: took longer than 2000 ms"; failed=1; }
[ "$ctl_code" = 2 ] || { echo "FAIL: quorvelctl should report an unreachable helper (2), got $ctl_code"; failed=1; }
exit $failed
