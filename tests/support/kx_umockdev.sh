#!/usr/bin/env bash
# Runs a test under umockdev's preload library, so that the testbed it makes
# stands in for /sys and /dev. Without umockdev-wrapper the test runs as it
# is and reports itself skipped with the reason.
# Usage: kx_umockdev.sh COMMAND [ARGS...]
set -uo pipefail
[[ $# -gt 0 ]] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
command -v umockdev-wrapper >/dev/null || exec "$@"
# The preload library comes before the sanitizer runtime.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
exec umockdev-wrapper "$@"
