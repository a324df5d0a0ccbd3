#!/usr/bin/env bash
# Two or more kelm binaries, whole processes, alternating on files of the
# sizes given: where a change of shape pays off, and where it stops paying.
#
#   bench/sizes.sh BINARY BINARY... [-- SIZE_MB...]
#
# For each size (default 2 10 16 20 64, in 10^6 bytes) and direction it runs
# ROUNDS rounds (default 31); each round runs every binary once, starting
# one binary further on, on the same page-cached file, into an output removed
# before each run, outside the timing. It prints the median and the first
# quartile of each binary's wall time in milliseconds.
#   ROUNDS      rounds per size and direction
#   BENCH_DIR   where the scratch folder goes (default /var/tmp)
# This is a benchmark, not a test: nothing here passes or fails on speed.
set -euo pipefail
export LC_ALL=C # a point, not a comma, in $EPOCHREALTIME and in awk

bins=()
while (($#)) && [[ $1 != -- ]]; do
  [[ -x $1 ]] || { echo "sizes.sh: not a program: $1" >&2; exit 1; }
  bins+=("$(realpath "$1")")
  shift
done
(($#)) && shift
sizes=("$@")
((${#sizes[@]})) || sizes=(2 10 16 20 64)
((${#bins[@]} >= 2)) || { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 1; }
rounds=${ROUNDS:-31}

scratch=$(mktemp -d -p "${BENCH_DIR:-/var/tmp}")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
head -c 32 /dev/urandom >key
head -c $((${sizes[-1]} * 1000000)) /dev/urandom >all
sync # no writeback of the files under the timed runs

# time_ms COMMAND...: the command's wall time in milliseconds.
time_ms() {
  local start=$EPOCHREALTIME
  "$@" </dev/null >/dev/null 2>&1 || { echo "sizes.sh: failed: $*" >&2; return 1; }
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f\n", (b - a) * 1000 }'
}

printf '%-8s %-8s %-40s %9s %9s\n' size dir binary median_ms q1_ms
for size in "${sizes[@]}"; do
  head -c $((size * 1000000)) all >plain
  rm -f cipher
  "${bins[0]}" encrypt plain cipher key </dev/null >/dev/null
  sync
  for dir in encrypt decrypt; do
    input=plain
    [[ $dir == decrypt ]] && input=cipher
    declare -A times=()
    for ((round = 0; round < rounds; round++)); do
      for ((i = 0; i < ${#bins[@]}; i++)); do
        bin=${bins[$(((i + round) % ${#bins[@]}))]}
        rm -f out
        times[$bin]+="$(time_ms "$bin" "$dir" "$input" out key) "
      done
    done
    for bin in "${bins[@]}"; do
      # shellcheck disable=SC2086 # one time per word
      printf '%s\n' ${times[$bin]} | sort -n |
        awk -v s="$size" -v d="$dir" -v b="$bin" '{ t[NR] = $1 }
          END { printf "%-8s %-8s %-40s %9.2f %9.2f\n", s " MB", d, b, t[int((NR + 1) / 2)], t[int((NR + 3) / 4)] }'
    done
    unset times
  done
done
