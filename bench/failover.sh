#!/usr/bin/env bash
# Failover and failback times of both links with the default pauses: the real driver, its
# primary servers refusing (nothing listens on their ports) and a server simulator as the
# backup on both links; then a second simulator comes up on the primaries' ports. Prints the
# time from the start to each link's "on backup" line, and from the primaries' return to each
# link's "answers again" line. About 75 s. Usage: bench/failover.sh [build directory]
set -euo pipefail
B=$(cd "${1:-build}" && pwd)/bin
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
read -r P8 P7 B8 B7 < <(python3 -c "
import socket
s=[socket.socket() for _ in range(4)]
for x in s: x.bind(('127.0.0.1',0))
print(*[x.getsockname()[1] for x in s])")
cat > sqarn.ini <<INI
[main]
ComPort=COM255
host=127.0.0.1
K7Port=$P7
BackupHost=127.0.0.1
BackupK7Port=$B7
SendK7=1
SendK8=1
SetClock=0
[ServerHost]
Address=127.0.0.1
Port=$P8
BackupAddress=127.0.0.1
BackupPort=$B8
INI
"$B/qarn-server-sim" --k7-port "$B7" --k8-port "$B8" > backup.out 2>&1 < <(sleep 300) &
sleep 0.5
start=$(date +%s.%N)
"$B/qarn-driver" --headless 2> driver.err > driver.out &
# Sets k7 and k8 to the first moments their lines match `what` in the driver's standard
# error, looking every 50 ms for at most `tenths` tenths of a second.
seen() {
  k7=
  k8=
  for _ in $(seq 1 $(($2 * 2))); do
    [ -z "$k7" ] && grep -q "K7: primary.*$1" driver.err && k7=$(date +%s.%N)
    [ -z "$k8" ] && grep -q "K8: primary.*$1" driver.err && k8=$(date +%s.%N)
    [ -n "$k7" ] && [ -n "$k8" ] && return
    sleep 0.05
  done
}
seen 'on backup' 300
echo "failover: K7 $(echo "$k7 - $start" | bc) s, K8 $(echo "$k8 - $start" | bc) s"
"$B/qarn-server-sim" --k7-port "$P7" --k8-port "$P8" > primary.out 2>&1 < <(sleep 300) &
up=$(date +%s.%N)
seen 'answers again' 900
echo "failback after the primaries came up: K7 $(echo "$k7 - $up" | bc) s, K8 $(echo "$k8 - $up" | bc) s"
