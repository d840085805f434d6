#!/usr/bin/env bash
# Builds the codec benchmarks in Release (build-bench) and prints the median
# of five repetitions per benchmark. Extra arguments go to bench_codec, e.g.
# --benchmark_filter=Crc.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_BENCH=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target bench_codec

"$build/bench/bench_codec" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_color=false "$@" |
  awk '/^-+$/ || /^Benchmark/ || /_median/'
