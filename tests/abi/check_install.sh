#!/usr/bin/env bash
# Installs the kit into a scratch prefix and builds a consumer against it,
# once through find_package and once through pkg-config.
set -euo pipefail
build=$1
consumer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake-build/consumer"

pcdir=$(dirname "$(find "$work/prefix" -name KXDeviceKit.pc | head -n1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs KXDeviceKit)
# shellcheck disable=SC2086
c++ -std=c++17 -fPIC "$consumer/main.cpp" -o "$work/pc-consumer" $flags
LD_LIBRARY_PATH="$(dirname "$pcdir")" "$work/pc-consumer"
