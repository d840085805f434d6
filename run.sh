#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a short
# demonstration of the codec with kxctl, then a session with the simulated
# device kxsim on loopback.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build >/dev/null

kxctl=build/tools/kxctl
show() {
  echo "\$ kxctl $*"
  "$kxctl" "$@" || echo "(exit code $?)"
  echo
}

# The codec on its own: host commands in both envelopes, a device reply.
show encode 'DFMQCU;LUAQRY'
show encode --protocol 7 --crc 'QRYSYS'
show decode '02 01 30 30 30 30 40 44 46 4d 51 43 55 31 32 06 2c 41 44 44 15 3b 4c 55 41 51 52 59 05 3b 03'

# A simulated device on loopback: kxsim serves the sample device on free
# ports and prints its endpoints.
sim_out=$(mktemp)
build/tools/kxsim --port 0 --log-port 0 >"$sim_out" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -f "$sim_out"' EXIT
for _ in $(seq 100); do
  grep -q '^kxsim: log tcp' "$sim_out" && break
  sleep 0.1
done
cat "$sim_out"
data=$(sed -n 's/^kxsim: data tcp //p' "$sim_out")
echo

show send "tcp://$data" 'QRYSYS*'
show send "tcp://$data" 'SCNMOD*;BEPDUR500'
show send "tcp://$data" --protocol 7 'DFMADD0abc;DFMQCU*'

# A barcode arriving: the monitor prints what the device sends on its own.
# kxsim's SIMBAR trigger sends barcodes on the link that asked for them, so
# the monitor sends it itself (--send) rather than a second kxctl.
mon_out=$(mktemp)
echo "\$ kxctl monitor tcp://$data --send SIMBAR1"
"$kxctl" monitor "tcp://$data" --send SIMBAR1 >"$mon_out" &
mon_pid=$!
trap 'kill "$mon_pid" "$sim_pid" 2>/dev/null; wait "$mon_pid" "$sim_pid" 2>/dev/null; rm -f "$sim_out" "$mon_out"' EXIT
for _ in $(seq 100); do
  grep -q '^barcode:' "$mon_out" && break
  sleep 0.1
done
cat "$mon_out"
kill -INT "$mon_pid"
wait "$mon_pid" && echo "(monitor stopped by SIGINT, exit code 0)"
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -f "$sim_out" "$mon_out"' EXIT
echo

kill "$sim_pid"
wait "$sim_pid" && echo "kxsim stopped"
trap 'rm -f "$sim_out" "$mon_out"' EXIT
