#!/usr/bin/env bash
# kelm against dd bs=1M on one large file, in the plainest loop there is:
# each round runs dd, kelm encrypt and kelm decrypt, in that order, each after
# removing the output, syncing and reading its input once.
#
#   bench/plain_loop.sh [ROUNDS [MIB [KEY_BYTES]]]     (default 6, 512, 32)
#
# It prints the median wall and processor time (user+sys, from the shell's
# `times`) of each command, and the medians of their per-round ratios to
# dd's. bench/compare.sh is the full comparison; this loop is for the 512 MiB
# figures on a machine like this project's virtual one, where most rounds of
# dd bs=1M took 0.5 to 1.9 s of system time against its usual 0.2 s, and
# slowed the command after it too. Its 1 MiB writes are what does it: in
# eight rounds each, bs=256K and bs=64K always took 0.20 to 0.24 s while
# bs=1M took 0.9 to 1.2 s in six. DD_BS=256K measures against the steady one.
# This is a benchmark, not a test.
#
# Settings: KELM (default build/release/kelm), DD_BS (dd's block size,
# default 1M), BENCH_DIR (default /tmp, or /var/tmp where /tmp is a tmpfs:
# the files should be on a disk), LOOP_RAW (a file to which the raw
# measurements are copied).
set -euo pipefail
export LC_ALL=C # a point, not a comma, in $EPOCHREALTIME and in awk

rounds=${1:-6}
mib=${2:-512}
key_bytes=${3:-32}
dd_bs=${DD_BS:-1M}
kelm=$(realpath "${KELM:-build/release/kelm}")
[[ -x $kelm ]] || {
  echo "plain_loop.sh: no kelm at $kelm (cmake --preset release && cmake --build --preset release)" >&2
  exit 1
}
parent=${BENCH_DIR:-/tmp}
if [[ -z ${BENCH_DIR:-} && $(stat -f -c %T /tmp) == tmpfs ]]; then parent=/var/tmp; fi
work=$(mktemp -d "$parent/kelm-loop.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c "$((mib * 1024 * 1024))" /dev/urandom > in
head -c "$key_bytes" /dev/urandom > key
"$kelm" encrypt in in.kelm key > /dev/null

# The processor time, in milliseconds, of the shell's finished children, as
# `times` wrote it to file $1 (`times` itself must run in this shell).
children_ms() {
  awk 'NR == 2 { gsub(/[ms]/, " "); printf "%d", ($1 * 60 + $2 + $3 * 60 + $4) * 1000 }' "$1"
}

# Runs command $3... once for round $round as $1, reading file $2 first, and
# appends its wall time in microseconds and processor time in milliseconds to
# the raw record.
timed() {
  local name=$1 reads=$2
  shift 2
  rm -f out
  sync
  cat "$reads" > /dev/null
  local start end
  times > times.before
  start=$EPOCHREALTIME
  "$@" > /dev/null
  end=$EPOCHREALTIME
  times > times.after
  echo "$name $round $((${end/./} - ${start/./})) $(($(children_ms times.after) - $(children_ms times.before)))" >> raw
}

for ((round = 1; round <= rounds; round++)); do
  timed dd in dd if=in of=out bs="$dd_bs" status=none
  timed kelm-enc in "$kelm" encrypt in out key
  timed kelm-dec in.kelm "$kelm" decrypt in.kelm out key
done
# The last decryption's output is still there: it must be the input.
cmp -s in out || {
  echo "plain_loop.sh: decryption did not give the input back" >&2
  exit 1
}

echo "$mib MiB, $key_bytes-byte key, dd bs=$dd_bs, $rounds round(s), $(date -u '+%Y-%m-%d %H:%M UTC')"
awk '
  function median(v, n,   i, j, t) {
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  { wall[$1, $2] = $3; cpu[$1, $2] = $4; rounds = $2 > rounds ? $2 : rounds }
  END {
    printf "%-9s %9s %7s %8s %7s\n", "command", "wall_ms", "vs_dd", "cpu_ms", "vs_dd"
    split("dd kelm-enc kelm-dec", names, " ")
    for (k = 1; k <= 3; k++) {
      c = names[k]
      for (r = 1; r <= rounds; r++) {
        w[r] = wall[c, r] / 1000; p[r] = cpu[c, r]
        rw[r] = wall[c, r] / wall["dd", r]; rp[r] = cpu["dd", r] > 0 ? cpu[c, r] / cpu["dd", r] : 0
      }
      printf "%-9s %9.1f %6.2fx %8.1f %6.2fx\n", c, median(w, rounds), median(rw, rounds),
        median(p, rounds), median(rp, rounds)
    }
  }' raw
if [[ -n ${LOOP_RAW:-} ]]; then cp raw "$LOOP_RAW"; fi
