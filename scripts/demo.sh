#!/usr/bin/env bash
# Builds the driver and runs it in demo/ with a small sqarn.ini, against the station
# simulator on a pseudo-terminal (mapped as COM1 in [ports]). Ctrl-C ends it.
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
ComPort=COM1
SendK7=1
SendK8=1
Log=1
SetClock=0
INI
fi
echo "demo directory: $demo"

# The station: a pseudo-terminal, mapped into sqarn.ini before the driver starts.
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
: > station-sim.log
"$root/build/bin/qarn-station-sim" --ini sqarn.ini --com COM1 --poll-ms 1000 --event-ms 1500 \
  < /dev/null > station-sim.log 2>&1 &
pids+=($!)
until grep -q '^mapped:' station-sim.log; do
  kill -0 "${pids[0]}" 2>/dev/null || { cat station-sim.log; exit 1; }
  sleep 0.1
done
tail -n +1 -f station-sim.log &
pids+=($!)

"$root/build/bin/qarn-driver" --headless
