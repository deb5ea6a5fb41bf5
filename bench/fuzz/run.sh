#!/usr/bin/env bash
# Runs one fuzz target for a while and prints libFuzzer's summary.
#
#   bash bench/fuzz/run.sh TARGET SECONDS
#
# TARGET is one of: parsearr (packet reader and decoders), framer (stream framing,
# split reads against one read), assembler (pipe message reassembly), command (command
# channel requests), files (settings, black list, events and keys readers).
# Builds the fuzz configuration (clang, libFuzzer, ASan and UBSan) in build-fuzz, copies
# the target's seed corpus to build-fuzz/corpus/TARGET (kept between runs, so a campaign
# goes on where the last one stopped) and runs the target in one process for SECONDS.
# A finding is written to build-fuzz/findings/TARGET/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

usage() { echo "usage: bash bench/fuzz/run.sh parsearr|framer|assembler|command|files SECONDS" >&2; exit 2; }
[ $# -eq 2 ] || usage
target=$1
seconds=$2
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] || usage
extra=()
case "$target" in
  parsearr) seeds=tests/protocol/corpus/parsearr ;;
  # Room for the largest frame and what follows it.
  framer) seeds=tests/protocol/corpus/framer; extra=(-max_len=140000) ;;
  assembler) seeds=tests/pipes/corpus/assembler ;;
  command) seeds=tests/pipes/corpus/command; extra=(-max_len=8192) ;;
  files) seeds=tests/files/corpus ;;
  *) usage ;;
esac

export CCACHE_DIR="${CCACHE_DIR:-${HOME:-/root}/.cache/ccache}"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVARO_FUZZ=ON \
  -DTELVARO_BENCH=OFF >/dev/null
cmake --build "$build" --target "fuzz_$target" -j "$(nproc)"

corpus=$build/corpus/$target
findings=$build/findings/$target
mkdir -p "$corpus" "$findings"
cp -n "$seeds"/* "$corpus"/

log=$build/fuzz-$target.log
set +e
"$build/fuzz_$target" "$corpus" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
  -artifact_prefix="$findings/" "${extra[@]}" >"$log" 2>&1
status=$?
set -e
# The last status line (coverage, corpus) and the final statistics.
grep -E '^#[0-9]+' "$log" | tail -n 1
grep -E '^(Done|stat::)' "$log"
if [ $status -ne 0 ]; then
  echo "fuzz_$target found a fault; see $log and $findings" >&2
  tail -n 40 "$log" >&2
fi
exit $status
