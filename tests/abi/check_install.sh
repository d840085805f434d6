#!/usr/bin/env bash
# Installs the kit into a scratch prefix and builds a consumer against it,
# once through find_package and once through pkg-config; then builds the host
# example the same way and runs it against the installed kxsim on loopback.
set -euo pipefail
build=$1
consumer=$2
host=$3
work=$(mktemp -d)
sim_pid=
cleanup() {
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
export LD_LIBRARY_PATH=$prefix/lib QT_LOGGING_RULES='kx.*.debug=false'
sample=$prefix/share/KXDeviceKit/offline
cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" "$sample/DeviceConfiguration.xml" "$sample/Offline.xml"

pcdir=$(dirname "$(find "$prefix" -name KXDeviceKit.pc | head -n1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs KXDeviceKit)
# shellcheck disable=SC2086
c++ -std=c++17 -fPIC "$consumer/main.cpp" -o "$work/pc-consumer" $flags
"$work/pc-consumer" "$sample/DeviceConfiguration.xml" "$sample/Offline.xml"

cmake -S "$host" -B "$work/host-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host-build" >/dev/null
coproc SIM { exec "$prefix/bin/kxsim" --port 0 --log-port 0 --barcodes 2; }
# shellcheck disable=SC2153 # SIM_PID comes from coproc
sim_pid=$SIM_PID
port=
while read -r -t 10 line <&"${SIM[0]}"; do
  if [[ $line =~ ^kxsim:\ data\ tcp\ 127\.0\.0\.1:([0-9]+)$ ]]; then
    port=${BASH_REMATCH[1]}
    break
  fi
done
[[ -n $port ]] || { echo "kxsim did not start"; exit 1; }
status=0
out=$(timeout 60 "$work/host-build/kxhost" --tcp "127.0.0.1:$port" --seconds 1) || status=$?
for wanted in "QRYSYS of K73A2403180417:" "Product Name: KX-7300" \
    "barcode K73A2403180417: KXSIM-BARCODE-"; do
  if [[ $status != 0 ]] || ! grep -qF "$wanted" <<<"$out"; then
    printf 'kxhost: exit %s, no "%s" in:\n%s\n' "$status" "$wanted" "$out"
    exit 1
  fi
done
echo "kxhost: ok"
