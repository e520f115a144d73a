#!/usr/bin/env bash
# Builds the driver and runs it in demo/ with a small sqarn.ini. Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

demo="$root/demo"
mkdir -p "$demo"
cd "$demo"
if [ ! -f sqarn.ini ]; then
  cat > sqarn.ini <<'INI'
[main]
ComPort=COM255
SendK7=1
SendK8=1
Log=1
SetClock=0
INI
fi
echo "demo directory: $demo"
# The message server's K8 side; its commands (query, retquery, disconnect ...) are read from
# the fifo: echo query > demo/server-sim.in
rm -f server-sim.in && mkfifo server-sim.in
sleep infinity > server-sim.in &
fifo_holder=$!
"$root/build/bin/qarn-server-sim" --k8-quiet-polls < server-sim.in &
server_sim=$!
trap 'kill "$server_sim" "$fifo_holder" 2>/dev/null; rm -f server-sim.in' EXIT
"$root/build/bin/qarn-driver" --headless
