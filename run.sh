#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job (scripts/demo.sh):
# kxsim, the simulated scanner, found by a broadcast scan and driven by kxctl
# (information, settings, backup, a firmware update, a barcode). The demo runs
# inside a private network namespace made by tests/support/kx_netns.sh, so the
# broadcasts never leave this machine; where that cannot be made (not root,
# no unshare), it runs on loopback only and says so.
set -euo pipefail
cd "$(dirname "$0")"

echo "== Dependencies and build"
./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target kxctl kxsim kxfw >/dev/null
echo "built build/tools/kxctl, kxsim and kxfw"

start=$(date +%s)
if reason=$(tests/support/kx_netns.sh true 2>&1); then
  echo "== Network: a private network namespace (198.51.100.1/24 on a veth pair)"
  KX_DEMO_NETWORK=namespace tests/support/kx_netns.sh scripts/demo.sh build
else
  echo "== Network: no private namespace (${reason#SKIP: }); loopback only, no broadcasts"
  KX_DEMO_NETWORK=loopback scripts/demo.sh build
fi
echo
echo "== Done in $(($(date +%s) - start)) s"
