#!/usr/bin/env bash
# The whole road in one terminal: the station simulator on a pseudo-terminal (mapped as COM1
# in [ports]), the driver in demo/, and the server simulator on both links, K7 and K8.
# After about 10 s the server simulator is stopped for about 8 s: the driver spools the
# station's events as .ddk (K7) and .dd8 (K8) files in demo/. Once it is back the driver
# replays them and deletes them. Then everything runs on until Ctrl-C.
# Every line is tagged with the program that printed it: [station], [server], [driver], [demo].
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin="$root/build/bin"

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j 2

demo="$root/demo"
mkdir -p "$demo"
cd "$demo"
# Written anew each time; the station simulator adds its [ports] mapping below.
cat > sqarn.ini <<'INI'
[main]
ComPort=COM1
SendK7=1
SendK8=1
Log=1
SetClock=0
host=127.0.0.1

[ServerHost]
Address=127.0.0.1
INI

say() { echo "[demo] $*"; }
# Runs a program in the background, its lines tagged; sets $last_pid to the program's pid.
tagged() {
  local tag=$1
  shift
  "$@" < /dev/null > >(sed -u "s/^/[$tag] /") 2>&1 &
  last_pid=$!
}

pids=()
stop_all() {
  trap - INT TERM EXIT
  say "stopping everything"
  for pid in "${pids[@]}" ${server_pid:-}; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT TERM

say "demo directory: $demo"
: > station-sim.log
"$bin/qarn-station-sim" --ini sqarn.ini --com COM1 --poll-ms 1000 --event-ms 1500 \
  < /dev/null > station-sim.log 2>&1 &
pids+=($!)
until grep -q '^mapped:' station-sim.log; do
  kill -0 "${pids[0]}" 2>/dev/null || { cat station-sim.log; exit 1; }
  sleep 0.1
done
tail -n +1 -f station-sim.log > >(sed -u 's/^/[station] /') &
pids+=($!)

start_server() {
  tagged server "$bin/qarn-server-sim" --k8-quiet-polls
  server_pid=$last_pid
}
spool_files() {
  local ddk dd8
  ddk=$(find . -maxdepth 1 -name '*.ddk' | wc -l)
  dd8=$(find . -maxdepth 1 -name '*.dd8' | wc -l)
  ((ddk + dd8 > 0)) && echo "$ddk .ddk (K7) and $dd8 .dd8 (K8) files"
  return 0
}

say "starting the server simulator (K7 port 7788, K8 port 12543) and the driver"
start_server
sleep 0.5
tagged driver "$bin/qarn-driver" --headless
pids+=($last_pid)

shown=""
for ((t = 1; ; t++)); do
  sleep 1
  if ((t == 10)); then
    say "stopping the server simulator for 8 s: events now go to spool files in demo/"
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  elif ((t == 18)); then
    say "starting the server simulator again: the driver replays and deletes the spool files"
    start_server
  fi
  files=$(spool_files)
  if [ "$files" != "$shown" ]; then
    if [ -n "$files" ]; then
      say "spool files in demo/: $files"
    else
      say "no spool files left in demo/"
    fi
    shown=$files
  fi
  if ((t == 30)); then say "the road is shown; running on until Ctrl-C"; fi
done
