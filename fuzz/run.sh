#!/usr/bin/env bash
# Runs each fuzzer from the checked-in seed corpus: for SECONDS (default 60),
# or, for a fuzzer named as NAME=SECONDS, for that long.
# New inputs go to a scratch folder, so the checked-in corpus stays as it is;
# a crash leaves its input there too and makes this script fail.
#
#   cmake --preset fuzz && cmake --build --preset fuzz && fuzz/run.sh 600
#   fuzz/run.sh 30 key=10     the key loader for 10 s, the others for 30 s
set -euo pipefail
fuzzers=(key roundtrip stream)
declare -A seconds=()
default=60
for arg in "$@"; do
  if [[ $arg =~ ^[1-9][0-9]*$ ]]; then
    default=$arg
  elif [[ $arg =~ ^([a-z]+)=([1-9][0-9]*)$ && " ${fuzzers[*]} " == *" ${BASH_REMATCH[1]} "* ]]; then
    seconds[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
  else
    echo "usage: $0 [SECONDS] [NAME=SECONDS]... with NAME one of: ${fuzzers[*]}" >&2
    exit 2
  fi
done
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/fuzz/fuzz
scratch=$(mktemp -d)
# Each fuzzer is one process on one processor: they run side by side, and
# the script waits for all of them.
declare -A pids=()
for fuzzer in "${fuzzers[@]}"; do
  time=${seconds[$fuzzer]:-$default}
  mkdir -p "$scratch/$fuzzer"
  echo "== ${fuzzer}_fuzzer for ${time}s"
  "$bin/${fuzzer}_fuzzer" "$scratch/$fuzzer" "$root/fuzz/corpus/$fuzzer" \
    -max_total_time="$time" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$scratch/$fuzzer-" 2>"$scratch/$fuzzer.log" &
  pids[$fuzzer]=$!
done
failed=()
for fuzzer in "${fuzzers[@]}"; do
  if ! wait "${pids[$fuzzer]}"; then
    tail -n 40 "$scratch/$fuzzer.log"
    failed+=("$fuzzer")
  fi
done
if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}; inputs and logs kept in $scratch" >&2
  exit 1
fi
for fuzzer in "${fuzzers[@]}"; do
  echo "== ${fuzzer}_fuzzer"
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$scratch/$fuzzer.log" || true
done
rm -rf "$scratch"
