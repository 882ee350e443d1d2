#!/usr/bin/env bash
# The helper's main job, end to end under Wine: build, then run the helper
# from a folder of its own with the test bed's stand-ins beside it (the tunnel
# tool in awg\, the IP Helper route functions Wine lacks, and WinDivert), and
# drive it with quorvelctl along the whole road: bypass networks, split
# applications, connect, a listed application's connect routed around the
# tunnel, disconnect, Ctrl+C. Then the same helper as an installed service.
# Each request is shown with its reply and exit code; at the end, what the
# stand-ins saw and what the helper wrote to its log.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"
BUILD_DIR="$BUILD_DIR" scripts/bootstrap.sh || exit 1
cd "$BUILD_DIR"
export WINEPREFIX="$BUILD_DIR/wineprefix"
DEMO="$BUILD_DIR/demo"

request() {
  printf '> quorvelctl'; printf ' %q' "$@"; printf '\n'
  local reply rc
  reply=$(cd "$DEMO" && "$BUILD_DIR/wine-run" ./quorvelctl.exe "$@" 2>&1); rc=$?
  printf '< %s   [exit %d]\n' "$(printf '%s' "$reply" | tr -d '\r')" "$rc"
}

wait_for_pipe() {  # [--console-helper]
  for _ in $(seq 100); do
    (cd "$DEMO" && "$BUILD_DIR/wine-run" ./quorvelctl.exe "$@" ping >/dev/null 2>&1) && return 0
    sleep 0.1
  done
  echo "the helper did not come up" >&2
  return 1
}

new_lines() {  # FILE FROM-BYTE
  tail -c +"$(($2 + 1))" "$1" 2>/dev/null | tr -d '\r' | sed 's/^/    /'
}

# Nothing left from an earlier run: no helper service, no tunnel service.
./wine-run QuorvelHelper.exe --uninstall >/dev/null 2>&1
./wine-run testbed/amneziawg.exe /uninstalltunnelservice Quorvel >/dev/null 2>&1
sleep 1

rm -rf "$DEMO" && mkdir -p "$DEMO/awg"
cp QuorvelHelper.exe quorvelctl.exe testbed/iphlpapi.dll testbed/WinDivert.dll "$DEMO/"
cp testbed/amneziawg.exe "$DEMO/awg/"
cp testbed/sleeper.exe "$DEMO/Browser.exe"
# The machine's physical default route, as the IP Helper stand-in reports it.
# Its journal gives each route call the time, as the WinDivert stand-in's
# gives each packet sent on, so the two can be put in order.
printf 'route 0.0.0.0 0.0.0.0 192.168.1.1 7 25\njournal-times\n' >"$DEMO/iphlpapi-scenario.txt"
# Two halves instead of 0.0.0.0/0: the same traffic through the tunnel,
# without the tool's block of everything untunnelled (see the README).
cat >"$DEMO/sample-tunnel.conf" <<'EOF'
[Interface]
PrivateKey = yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=
Address = 10.8.0.2/32

[Peer]
PublicKey = xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=
AllowedIPs = 0.0.0.0/1, 128.0.0.0/1
Endpoint = 203.0.113.10:51820
EOF

# A helper started from Linux gets Wine's C:\ProgramData.
CONSOLE_LOG="$WINEPREFIX/drive_c/ProgramData/Quorvel/helper.log"
console_from=$(stat -c %s "$CONSOLE_LOG" 2>/dev/null || echo 0)

echo
echo "== console mode: QuorvelHelper.exe --console (from $DEMO)"
(cd "$DEMO" && exec "$BUILD_DIR/wine-run" ./QuorvelHelper.exe --console) &
helper=$!
wait_for_pipe --console-helper || exit 1
echo "-- quorvelctl sends only to the QuorvelHelper service unless told otherwise"
request ping
request --console-helper ping
request --console-helper --raw "pings"
echo "-- the lists, then the tunnel"
request --console-helper bypassnets "10.0.0.0/8; 192.168.50.0/24"
request --console-helper splitapps "browser.exe"
request --console-helper bypassdomains "bank.example"
request --console-helper status
request --console-helper connect sample-tunnel.conf
request --console-helper status
echo "-- Browser.exe (a listed application) connects to 93.184.216.34"
exec 3< <(cd "$DEMO" && exec "$BUILD_DIR/wine-run" ./Browser.exe)
browser=$!
read -r browser_pid <&3
browser_pid=${browser_pid%$'\r'}
sleep 0.5
printf 'connect v4 %s 93.184.216.34\n' "$browser_pid" >>"$DEMO/windivert-feed.txt"
for _ in $(seq 50); do grep -q 'dest=93.184.216.34' "$DEMO/iphlpapi-journal.txt" && break; sleep 0.1; done
echo "-- a DNS answer for www.bank.example (198.51.100.77) arrives from the network"
# 192.0.2.53:53 -> 10.0.0.2, DNS id 0bad, one A record, TTL 120.
printf 'packet in %s\n' \
  4500004e0000400040110000c00002350a0000020035c350003a00000bad81800001000100000000037777770462616e6b076578616d706c650000010001c00c00010001000000780004c633644d \
  >>"$DEMO/windivert-feed.txt"
for _ in $(seq 50); do grep -q 'dnsid=0bad' "$DEMO/windivert-journal.txt" && break; sleep 0.1; done
made=$(grep 'dest=198.51.100.77/32' "$DEMO/iphlpapi-journal.txt" | head -1 | sed 's/.* t=//')
sent=$(grep 'dnsid=0bad' "$DEMO/windivert-journal.txt" | head -1 | sed 's/.* t=//')
echo "   its route made at t=${made:-never} us; the answer let through at t=${sent:-never} us"
echo "-- what the helper holds, and which way the addresses go"
request --console-helper state
request --console-helper explain 93.184.216.34 browser.exe
request --console-helper explain 10.1.2.3 other.exe
request --console-helper explain 198.51.100.77
request --console-helper disconnect
request --console-helper status
echo "-- Ctrl+C to the helper"
kill -INT "$helper"
wait "$helper"; echo "helper exit code: $?"
kill "$browser" 2>/dev/null
request --console-helper ping

echo
echo "== what the tunnel tool was asked ($DEMO/awg/amneziawg-journal.txt, its command lines)"
grep '^run ' "$DEMO/awg/amneziawg-journal.txt" | grep -v '/tunnelservice' | sed 's/^run pid=[0-9]* cmdline=/    /'
echo "== routes created and deleted ($DEMO/iphlpapi-journal.txt)"
grep -E '^(create|delete) ' "$DEMO/iphlpapi-journal.txt" | sed -E 's/ pid=[0-9]+//; s/^/    /'
echo "== new lines in the console helper's helper.log"
new_lines "$CONSOLE_LOG" "$console_from"

echo
echo "== service mode: QuorvelHelper.exe --install"
# Services get ProgramData=C:\users\Public from Wine (C:\ProgramData on Windows).
SERVICE_LOG="$WINEPREFIX/drive_c/users/Public/Quorvel/helper.log"
service_from=$(stat -c %s "$SERVICE_LOG" 2>/dev/null || echo 0)
# Wine's service manager needs telling to prefer the IP Helper stand-in.
./wine-run reg add 'HKCU\Software\Wine\AppDefaults\QuorvelHelper.exe\DllOverrides' \
  /v iphlpapi /d native /f >/dev/null 2>&1
./wine-run "$DEMO/QuorvelHelper.exe" --install; echo "--install exit code: $?"
wait_for_pipe || exit 1
./wine-run sc query QuorvelHelper | tr -d '\r' | grep -E 'SERVICE_NAME|STATE'
request ping
request bypassnets "10.0.0.0/8"
request connect sample-tunnel.conf
request status
journal_lines=$(wc -l <"$DEMO/iphlpapi-journal.txt")
echo "-- QuorvelHelper.exe --uninstall (the tunnel stays up; the helper's routes go)"
./wine-run "$DEMO/QuorvelHelper.exe" --uninstall; echo "--uninstall exit code: $?"
for _ in $(seq 50); do ./wine-run sc query QuorvelHelper >/dev/null 2>&1 || break; sleep 0.1; done
request ping
./wine-run sc query 'AmneziaWGTunnel$Quorvel' | tr -d '\r' | grep -E 'SERVICE_NAME|STATE'
echo "-- routes deleted by the service's stop"
tail -n +"$((journal_lines + 1))" "$DEMO/iphlpapi-journal.txt" | grep '^delete ' |
  sed -E 's/ pid=[0-9]+//; s/^/    /'
./wine-run "$DEMO/awg/amneziawg.exe" /uninstalltunnelservice Quorvel >/dev/null 2>&1
./wine-run reg delete 'HKCU\Software\Wine\AppDefaults\QuorvelHelper.exe\DllOverrides' \
  /v iphlpapi /f >/dev/null 2>&1

echo
echo "== new lines in the service's helper.log ($SERVICE_LOG)"
new_lines "$SERVICE_LOG" "$service_from"
