#!/usr/bin/env bash
# Runs a command inside a private network namespace, so that the UDP
# broadcasts of discovery tests never leave this machine:
#   - a new network namespace (unshare -n) with lo up;
#   - a veth pair kxv0/kxv1, kxv0 at 198.51.100.1/24 (broadcast .255), kxv1
#     up without an address, so the kit sees exactly one broadcast-capable
#     IPv4 address and a simulator bound to 0.0.0.0 hears the broadcasts.
# Exits 77 (CTest's SKIP_RETURN_CODE here) with the reason on stderr when the
# namespace cannot be made, e.g. when not root.
# Usage: kx_netns.sh COMMAND [ARGS...]
set -uo pipefail

skip() {
  echo "SKIP: $*" >&2
  exit 77
}

if [[ $# -eq 0 ]]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

if [[ ${KX_IN_NETNS:-} != 1 ]]; then
  command -v unshare >/dev/null || skip "unshare not found (util-linux)"
  command -v ip >/dev/null || skip "ip not found (iproute2)"
  [[ $(id -u) -eq 0 ]] || skip "a private network namespace needs root"
  unshare -n true 2>/dev/null || skip "unshare -n is not permitted here"
  KX_IN_NETNS=1 exec unshare -n "$0" "$@"
fi

set -e
ip link set lo up
ip link add kxv0 type veth peer name kxv1
ip addr add 198.51.100.1/24 broadcast 198.51.100.255 dev kxv0
ip link set kxv0 up
ip link set kxv1 up
# The veth peer may take a moment to report carrier.
for _ in $(seq 50); do
  ip -br link show kxv0 | grep -q LOWER_UP && break
  sleep 0.02
done
set +e
exec "$@"
