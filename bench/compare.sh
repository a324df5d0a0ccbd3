#!/usr/bin/env bash
# End-to-end speed of kelm against copying the same file with cat.
#
#   bench/compare.sh [SIZE_MIB] [RUNS] [KEY_BYTES]   (defaults: 512 MiB, 7 runs, 32)
#
# Makes a random input and a key (16, 32, 64 or 128 bytes) in a scratch folder, warms the page
# cache, then alternates `cat in > out`, `dd bs=1M` (a copy that, like kelm,
# passes every byte through a buffer of its own; cat lets the kernel copy
# the file without that), `kelm encrypt` and `kelm decrypt` RUNS times, so
# that all of them see the same machine load. Prints each
# command's median wall time, its ratio to cat, and its peak resident memory
# (from /usr/bin/time). The binary is $KELM, by default build/release/kelm.
# The scratch folder is $BENCH_DIR, by default a new one under /tmp.
# This is a benchmark, not a test: nothing here passes or fails.
set -euo pipefail

size_mib=${1:-512}
runs=${2:-7}
key_bytes=${3:-32}
root=$(cd "$(dirname "$0")/.." && pwd)
kelm=${KELM:-$root/build/release/kelm}
[[ -x $kelm ]] || { echo "no kelm binary at $kelm: build it first (README)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }

dir=${BENCH_DIR:-$(mktemp -d)}
mkdir -p "$dir"
trap 'rm -f "$dir"/{in,out,sealed,opened,key,rss}' EXIT
cd "$dir"

head -c $((size_mib * 1024 * 1024)) /dev/urandom > in
head -c "$key_bytes" /dev/urandom > key
cat in > /dev/null  # warm the page cache

declare -A times rss
# Runs one command, output removed first so every run writes a new file.
measure() {
  local name=$1 target=$2
  shift 2
  rm -f "$target"
  sync
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f %M -o rss "$@" < /dev/null > /dev/null
  end=$(date +%s%N)
  times[$name]+="$(( (end - start) / 1000 )) "
  rss[$name]+="$(cat rss) "
}

for ((run = 1; run <= runs; run++)); do
  measure cat out sh -c 'cat in > out'
  measure dd out dd if=in of=out bs=1M status=none
  measure encrypt sealed "$kelm" encrypt in sealed key
  measure decrypt opened "$kelm" decrypt sealed opened key
done
cmp -s in opened || { echo "round trip FAILED: decrypted file differs" >&2; exit 1; }

median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
maximum() { tr ' ' '\n' | sed '/^$/d' | sort -n | tail -n 1; }

cat_us=$(median <<< "${times[cat]}")
echo "file: $size_mib MiB, key: $key_bytes B, $runs runs each, alternating; $(nproc) cores; $(uname -r)"
printf '%-8s %10s %8s %14s\n' command median_s vs_cat peak_rss_MiB
for name in cat dd encrypt decrypt; do
  us=$(median <<< "${times[$name]}")
  kib=$(maximum <<< "${rss[$name]}")
  awk -v n="$name" -v us="$us" -v base="$cat_us" -v kib="$kib" \
    'BEGIN { printf "%-8s %10.3f %7.2fx %14.1f\n", n, us / 1e6, us / base, kib / 1024 }'
done
