#!/usr/bin/env bash
# Console mode ends on Ctrl+C: Wine turns SIGINT into CTRL_C_EVENT for a
# console program, as pressing Ctrl+C in its window does on Windows. The
# helper must take down what it set up (every bypass route it created is
# deleted, as the IP Helper stand-in's journal shows, its route journal is
# empty), the DNS hold among it (a domain listed and its route made from an
# answer: "WinDivert DNS hold stopped" logged), then be gone within 2
# seconds with exit code 0 and its pipe closed. Without a console control
# handler Wine ends the process with 0 as well, but nothing is cleaned up; a
# hold left running ended it in std::terminate, exit code 3.
# quorvelctl is told that it talks to a console helper, not the service.
set -u
helper="$1" ctl="$2" wine_run="$3" testbed="$4" rig="$5" prefix="$6"
# A console helper started from Linux gets Wine's own ProgramData.
data="$prefix/drive_c/ProgramData/Quorvel"
log_from=$(stat -c %s "$data/helper.log" 2>/dev/null || echo 0)

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
[ "$(ctl bypassdomains bank.example)" = "OK" ] || { echo "FAIL: bypassdomains"; failed=1; }
[ "$(ctl connect tunnel.conf)" = "OK" ] || { echo "FAIL: connect"; failed=1; }
# A question from 10.0.0.2:50000 to 192.0.2.53:53 for bank.example, and its
# answer giving 93.184.216.34, as the WinDivert stand-in's feed lines.
python3 - "$rig/windivert-feed.txt" <<'PYTHON'
import struct, sys
def udp(src, sport, dst, dport, dns):
    body = struct.pack("!HHHH", sport, dport, 8 + len(dns), 0) + dns
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(body), 0, 0x4000, 64, 17, 0,
                       bytes(src), bytes(dst)) + body
name = b"\x04bank\x07example\x00"
ask = struct.pack("!HHHHHH", 0x5151, 0x0100, 1, 0, 0, 0) + name + struct.pack("!HH", 1, 1)
answer = (struct.pack("!HHHHHH", 0x5151, 0x8180, 1, 1, 0, 0) + name + struct.pack("!HH", 1, 1) +
          struct.pack("!HHHIH4s", 0xC00C, 1, 1, 60, 4, bytes([93, 184, 216, 34])))
local, server = [10, 0, 0, 2], [192, 0, 2, 53]
with open(sys.argv[1], "a") as feed:
    feed.write("packet out " + udp(local, 50000, server, 53, ask).hex() + "\n")
    feed.write("packet in after=5151 " + udp(server, 53, local, 50000, answer).hex() + "\n")
PYTHON
for _ in $(seq 50); do
  grep -q '^create .*dest=93.184.216.34/32 .* rc=0' "$journal" && break
  sleep 0.1
done
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

[ "$created" = 3 ] || { echo "FAIL: expected 3 routes before the Ctrl+C (2 networks, 1 domain)"; failed=1; }
[ "$deleted" = "$created" ] || { echo "FAIL: routes left behind after the Ctrl+C"; failed=1; }
tail -c +"$((log_from + 1))" "$data/helper.log" | grep -q 'WinDivert DNS hold stopped' ||
  { echo "FAIL: the DNS hold was not stopped"; failed=1; }
! grep -q '[^ [:space:]]' "$data/routes.journal" 2>/dev/null ||
  { echo "FAIL: the route journal still lists routes"; failed=1; }
[ "$code" = 0 ] || { echo "FAIL: expected exit code 0"; failed=1; }
[ "$took_ms" -le 2000 ] || { echo "FAIL: took longer than 2000 ms"; failed=1; }
[ "$ctl_code" = 2 ] || { echo "FAIL: quorvelctl should report an unreachable helper (2), got $ctl_code"; failed=1; }
exit $failed
