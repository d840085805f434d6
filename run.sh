#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: for now a short
# demonstration of the data-stream codec through kxctl.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build >/dev/null

kxctl=build/tools/kxctl
show() {
  echo "\$ kxctl $*"
  "$kxctl" "$@"
  echo
}

# Host commands in the text and the length-prefixed envelope.
show encode 'DFMQCU;LUAQRY'
show encode --protocol 7 --crc 'QRYSYS'
# A device reply: DFMQCU accepted with value 12, DFMADD rejected, LUAQRY
# answered with an enquiry result.
show decode '02 01 30 30 30 30 40 44 46 4d 51 43 55 31 32 06 2c 41 44 44 15 3b 4c 55 41 51 52 59 05 3b 03'
# The length-prefixed host frame from above, checked and decoded.
show decode --crc "$("$kxctl" encode --protocol 7 --crc 'QRYSYS')"
