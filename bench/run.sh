#!/usr/bin/env bash
# Builds the benchmarks in Release (build-bench) and prints the median of
# five repetitions per benchmark, then the CPU use of an idle connection.
# Extra arguments go to every benchmark program, e.g. --benchmark_filter=Crc.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_BENCH=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target bench_codec bench_transport bench_connector bench_firmware bench_discovery idle_cpu

# The kit logs every connect and teardown; keep the tables readable.
export QT_LOGGING_RULES="${QT_LOGGING_RULES:-kx.*.debug=false}"

for bench in bench_codec bench_transport bench_connector bench_firmware; do
  LD_LIBRARY_PATH="$build/driver${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$build/bench/$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_color=false "$@" |
    awk '/^-+$/ || /^Benchmark/ || /_median/ || (/ERROR OCCURRED/ && !seen[$0]++)'
done

# Broadcasts stay inside a private network namespace; exit 77 means it could
# not be made (not root), and the benchmark is skipped.
status=0
"$root/tests/support/kx_netns.sh" "$build/bench/bench_discovery" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_color=false "$@" |
  awk '/^-+$/ || /^Benchmark/ || /_median/ || /ERROR OCCURRED/ || /lost/' || status=$?
if ((status == 77)); then
  echo "bench_discovery skipped: no private network namespace (needs root)"
elif ((status != 0)); then
  echo "bench_discovery FAILED (answers lost or no run)"
fi

"$build/bench/idle_cpu"
