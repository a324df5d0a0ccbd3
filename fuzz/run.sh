#!/usr/bin/env bash
# Runs each fuzzer for SECONDS (default 60) from the checked-in seed corpus.
# New inputs go to a scratch folder, so the checked-in corpus stays as it is;
# a crash leaves its input there too and makes this script fail.
#
#   cmake --preset fuzz && cmake --build --preset fuzz && fuzz/run.sh 600
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/fuzz/fuzz
scratch=$(mktemp -d)
for fuzzer in key roundtrip stream; do
  mkdir -p "$scratch/$fuzzer"
  echo "== ${fuzzer}_fuzzer for ${seconds}s"
  if ! "$bin/${fuzzer}_fuzzer" "$scratch/$fuzzer" "$root/fuzz/corpus/$fuzzer" \
      -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$scratch/$fuzzer-" 2>"$scratch/$fuzzer.log"; then
    tail -n 40 "$scratch/$fuzzer.log"
    echo "${fuzzer}_fuzzer FAILED; inputs and log kept in $scratch" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$scratch/$fuzzer.log" || true
done
rm -rf "$scratch"
