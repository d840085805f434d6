#!/usr/bin/env bash
# The main job, after the build: kxctl against a simulated device (kxsim).
# run.sh starts it inside a private network namespace
# (tests/support/kx_netns.sh) with KX_DEMO_NETWORK=namespace, so that the
# broadcast scan stays inside it; otherwise (KX_DEMO_NETWORK=loopback) it
# uses loopback only and never broadcasts.
# Usage: scripts/demo.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
kxctl=$build/tools/kxctl
kxsim=$build/tools/kxsim
kxfw=$build/tools/kxfw
network=${KX_DEMO_NETWORK:-loopback}
work=$(mktemp -d)
sim_pid=
mon_pid=

cleanup() {
  for pid in $mon_pid $sim_pid; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

step=0
say() {
  step=$((step + 1))
  printf '\n== %d. %s\n' "$step" "$*"
}
# Runs kxctl, showing the command line first.
show() {
  echo "\$ kxctl $*"
  "$kxctl" "$@"
  local code=$?
  ((code == 0)) || echo "(exit code $code)"
  return 0
}
# A command that this kxctl has; steps of the others are skipped.
commands=$("$kxctl" --help 2>/dev/null)
has() {
  grep -qE "^ +kxctl $1( |$)" <<<"$commands"
}
skip_unless() {
  has "$1" && return 0
  echo "(skipped: this kxctl has no '$1' command yet)"
  return 1
}
wait_for() { # FILE PATTERN
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# The broadcast scan runs only where every broadcast-capable address is in
# the private test network, whatever the caller said.
only_private_network() {
  local other
  other=$(ip -4 -o addr show scope global 2>/dev/null | awk '{print $4}' |
    grep -v '^198\.51\.100\.' || true)
  [[ -z $other ]]
}
if [[ $network == namespace ]] && ! only_private_network; then
  echo "demo: addresses outside the private network: using loopback only" >&2
  network=loopback
fi

say "The codec on its own: frame a host command, decode a device reply"
show encode 'DFMQCU;LUAQRY'
show decode '02 01 30 30 30 30 40 44 46 4d 51 43 55 31 32 06 2c 41 44 44 15 3b 03'

say "Start kxsim, the simulated scanner (its boot loader takes firmware)"
sim_args=(--port 0 --log-port 0 --firmware-out "$work")
if [[ $network == namespace ]]; then
  address=198.51.100.1
  sim_args+=(--bind "$address" --udp)
else
  address=127.0.0.1
  echo "(loopback only: kxsim does not answer discovery)"
fi
echo "\$ kxsim ${sim_args[*]}"
"$kxsim" "${sim_args[@]}" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
if ! wait_for "$work/sim.out" '^kxsim: log tcp'; then
  echo "kxsim did not start:" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
cat "$work/sim.out"
data=$(sed -n 's/^kxsim: data tcp //p' "$work/sim.out")
device="tcp://$data"

if [[ $network == namespace ]]; then
  say "Find it: a broadcast scan (inside the private network namespace)"
  skip_unless scan && show scan --broadcast --seconds 2
else
  say "Find it: add it by address (no broadcast outside a private network)"
  skip_unless add && show add "$data"
fi

say "Ask it for its information"
skip_unless info && show info "$device"

say "Query settings, change one, query again; a value out of range is refused"
if skip_unless get && skip_unless set; then
  show get "$device" BEPDUR SCNMOD
  show set "$device" BEPDUR=120
  show get "$device" BEPDUR
  show set "$device" BEPDUR=500
fi

say "Back up every setting of its pages (the start of the JSON document)"
if skip_unless backup; then
  echo "\$ kxctl backup $device > settings.json"
  "$kxctl" backup "$device" >"$work/settings.json"
  echo "(exit code $?, $(wc -c <"$work/settings.json") bytes)"
  head -c 400 "$work/settings.json"
  echo " ..."
fi

say "Update its firmware with a sample image made by kxfw"
if skip_unless update; then
  head -c 2000000 /dev/urandom >"$work/appl.raw"
  head -c 20000 /dev/urandom >"$work/boot.raw"
  echo "\$ kxfw image firmware.bin --part appl:appl.raw --part boot:boot.raw"
  "$kxfw" image "$work/firmware.bin" --part "appl:$work/appl.raw" --part "boot:$work/boot.raw"
  show update "$device" "$work/firmware.bin"
  grep '^kxsim: boot' "$work/sim.out"
  cmp -s "$work/appl.raw" "$work/1-appl.bin" && echo "(kxsim received the image whole)"
fi

say "A barcode arriving: monitor prints what the device sends on its own"
if skip_unless monitor; then
  # kxsim's SIMBAR trigger sends barcodes on the link that asked, so the
  # monitor sends it itself.
  echo "\$ kxctl monitor $device --send SIMBAR1"
  "$kxctl" monitor "$device" --send SIMBAR1 >"$work/monitor.out" &
  mon_pid=$!
  wait_for "$work/monitor.out" '^barcode:'
  cat "$work/monitor.out"
  kill -INT "$mon_pid"
  wait "$mon_pid" && echo "(monitor stopped by SIGINT, exit code 0)"
  mon_pid=
fi

say "Stop everything"
kill "$sim_pid"
wait "$sim_pid" && echo "kxsim stopped"
sim_pid=
