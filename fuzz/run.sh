#!/usr/bin/env bash
# Runs every fuzz target for a while on a scratch copy of its seed corpus.
#
#   fuzz/run.sh BUILD_DIR [SECONDS] [TARGET...]
#
# BUILD_DIR is configured with -DKX_FUZZ=ON and clang; the targets are
# (re)built first. SECONDS defaults to 20 per target. fuzz/corpus is never
# written to; crash reproducers go to BUILD_DIR/fuzz-artifacts/. Exits
# non-zero when any target crashes, leaks or times out.
set -euo pipefail

usage() {
  echo "usage: $0 BUILD_DIR [SECONDS] [TARGET...]" >&2
  exit 2
}

(($# >= 1)) || usage
build=$(cd "$1" && pwd)
shift
seconds=20
if (($# >= 1)) && [[ $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
targets=("$@")
((${#targets[@]} > 0)) || targets=(fuzz_parser fuzz_frame fuzz_extend fuzz_value fuzz_offline_write fuzz_offline_xml
  fuzz_discovery fuzz_nfp_header fuzz_image_table)

cmake --build "$build" --target "${targets[@]}"

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kx-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Inputs longer than libFuzzer's default cap (the largest seed, at least 4096
# bytes) are needed to reach deep nesting, long sibling lists and long
# command texts; 0 leaves the choice to libFuzzer.
max_len_of() {
  case $1 in
    fuzz_offline_xml | fuzz_offline_write) echo 300000 ;;
    *) echo 0 ;;
  esac
}

# Firmware-shaped seeds are made here rather than kept in the repository.
python3 "$here/make_corpus.py" --generated "$scratch/generated" >/dev/null

failed=0
summary=()
for target in "${targets[@]}"; do
  corpus="$scratch/$target"
  mkdir -p "$corpus"
  for seeds in "$here/corpus/$target" "$scratch/generated/$target"; do
    if [[ -d $seeds ]]; then cp -- "$seeds"/* "$corpus/"; fi
  done
  log="$scratch/$target.log"
  echo "== $target: ${seconds}s"
  status=0
  # A slow input is a finding too; no codec call should take seconds.
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -max_len="$(max_len_of "$target")" -artifact_prefix="$artifacts/$target-" "$corpus" \
    >"$log" 2>&1 || status=$?
  units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if ((status != 0)); then
    failed=1
    summary+=("$target: FAILED (exit $status) after ${units:-?} units")
    echo "-- $target failed, end of its log:"
    tail -n 60 "$log"
    ls -1 "$artifacts" | sed -n "/^$target-/s|^|   artifact: $artifacts/|p"
  else
    summary+=("$target: ok, ${units:-?} units, corpus $(ls "$corpus" | wc -l) inputs")
  fi
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
