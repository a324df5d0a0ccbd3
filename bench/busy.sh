#!/usr/bin/env bash
# kelm against dd bs=256K on one large page-cached file, on an idle machine
# and beside busy loops that want the processors too.
#
#   bench/busy.sh [PAIRS]
#
# For each load (0, 1 and 2 busy loops, `sh -c 'while :; do :; done'`, which
# the script starts before the load's runs and stops after them) it runs
# PAIRS alternating pairs per direction: kelm encrypt beside dd copying the
# plaintext, kelm decrypt beside dd copying the ciphertext, and `many`: the
# same plaintext as eight files of an eighth of its size, encrypted (or
# copied) two at a time by `xargs -P2`, as a user encrypts a folder of
# files on a machine of two processors. Within a pair the
# commands take turns at going first; with KELM_BASE the pair is a triple and
# the start rotates. Every command reads the same page-cached file and writes
# the same output file, which is removed (and the removal synced) before each
# command, outside the timing; each command runs once untimed before the
# first pair.
#
# The table shows, per load and command, the median of the per-pair ratios
# of kelm's wall time to dd's, the median and least wall time, and the
# median and least processor time (user+sys of the process and its
# children, from the shell's `times`, in whole milliseconds). The busy
# loops' own time is not in it.
#
# Settings (an argument wins over the variable):
#   PAIRS       pairs per load and direction (default 7)
#   LOADS       which loads, in busy loops (default "0 1 2")
#   KELM        the binary (default build/release/kelm)
#   KELM_BASE   a second kelm binary to run in the same alternation
#   SIZE_MIB    the file's size in MiB (default 512)
#   DD_BS       dd's block size (default 256K)
#   BENCH_DIR   where the scratch folder goes (default /var/tmp)
#   BENCH_RAW   a file to which the raw measurements are copied (load,
#               direction, command, pair, wall in microseconds, processor
#               time in milliseconds)
# The scratch folder is removed, and the busy loops stopped, on any exit.
# This is a benchmark, not a test: nothing here passes or fails on speed.
set -euo pipefail
export LC_ALL=C # a point, not a comma, in $EPOCHREALTIME and in awk

usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; }
die() {
  echo "busy.sh: $*" >&2
  exit 1
}

case ${1:-} in
  -h | --help) usage; exit 0 ;;
esac
(($# <= 1)) || die "at most one argument (--help for usage)"
pairs=${1:-${PAIRS:-7}}
loads=${LOADS:-0 1 2}
size_mib=${SIZE_MIB:-512}
dd_bs=${DD_BS:-256K}
for n in "$pairs" "$size_mib"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || die "not a positive count: '$n'"
done
for k in $loads; do
  [[ $k =~ ^[0-9]+$ ]] || die "not a count of busy loops: '$k'"
done

root=$(cd "$(dirname "$0")/.." && pwd)
binary() {
  [[ -x $1 && -f $1 ]] || die "no kelm binary at $1: build it first (README)"
  realpath "$1"
}
kelm=$(binary "${KELM:-$root/build/release/kelm}")
kelms=(kelm)
base=
if [[ -n ${KELM_BASE:-} ]]; then
  base=$(binary "$KELM_BASE")
  kelms+=(base)
fi

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/kelm-busy.XXXXXX")
busy=()
stop_busy() {
  local pid
  for pid in ${busy[@]+"${busy[@]}"}; do
    kill "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
  busy=()
}
cleanup() {
  stop_busy
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
cd "$work"

# shellcheck source=bench/times.sh
source "$root/bench/times.sh"

# The eight files of `many`, two at a time.
each="printf '%s\\n' part.0? | xargs -P2 -I{}"

# Sets cmd to command $1 for direction $2 (enc, dec or many).
# shellcheck disable=SC2016 # the many runs' own shell expands their words
describe() {
  case $1-$2 in
    dd-enc) cmd=(dd if=in of=out bs="$dd_bs" status=none) ;;
    dd-dec) cmd=(dd if=in.kelm of=out bs="$dd_bs" status=none) ;;
    kelm-enc) cmd=("$kelm" encrypt in out key) ;;
    kelm-dec) cmd=("$kelm" decrypt in.kelm out key) ;;
    base-enc) cmd=("$base" encrypt in out key) ;;
    base-dec) cmd=("$base" decrypt in.kelm out key) ;;
    dd-many) cmd=(sh -c "$each"' dd if={} of={}.out bs="$1" status=none' sh "$dd_bs") ;;
    kelm-many | base-many)
      local binary=$kelm
      [[ $1 == base ]] && binary=$base
      cmd=(sh -c "$each"' "$1" encrypt {} {}.out key' sh "$binary")
      ;;
    *) die "no such command: $1-$2" ;;
  esac
}

# Runs command $1 for direction $2 under load $3, pair $4, and appends its
# wall and processor time to the raw record.
timed_run() {
  describe "$1" "$2"
  rm -f out part.0?.out
  sync
  local reads=in
  [[ $2 == dec ]] && reads=in.kelm
  [[ $2 == many ]] && reads="part.0?"
  # shellcheck disable=SC2086 # the parts' pattern is meant to expand
  cat $reads > /dev/null
  local start end before after status=0
  times > times.before
  start=$EPOCHREALTIME
  "${cmd[@]}" < /dev/null > /dev/null 2> errors || status=$?
  end=$EPOCHREALTIME
  times > times.after
  if ((status != 0)); then
    echo "busy.sh: ${cmd[*]} failed (exit status $status):" >&2
    sed 's/^/  /' errors >&2
    exit 1
  fi
  children_ms times.before before
  children_ms times.after after
  echo "$3 $2 $1 $4 $((${end/./} - ${start/./})) $((after - before))" >> raw
}

echo "making a $size_mib MiB file" >&2
head -c $((size_mib << 20)) /dev/urandom > in
head -c 32 /dev/urandom > key
split -d -n 8 in part.
"$kelm" encrypt in in.kelm key < /dev/null > /dev/null
for k in "${kelms[@]}"; do
  describe "$k" dec
  rm -f out
  "${cmd[@]}" < /dev/null > /dev/null
  cmp -s in out || die "${cmd[0]} does not give back the input"
done
rm -f out
# One untimed run of each command first: the fresh files' write-back and the
# first reads of them would otherwise land in the first pair's timing.
sync
for dir in enc dec many; do
  for k in dd "${kelms[@]}"; do
    describe "$k" "$dir"
    rm -f out part.0?.out
    "${cmd[@]}" < /dev/null > /dev/null
  done
done
rm -f out part.0?.out
sync
: > raw

for load in $loads; do
  echo "load: $load busy loops" >&2
  for ((i = 0; i < load; i++)); do
    sh -c 'while :; do :; done' &
    busy+=($!)
  done
  sleep 0.5 # let the loops settle on the processors
  for dir in enc dec many; do
    commands=(dd "${kelms[@]}")
    for ((p = 0; p < pairs; p++)); do
      n=${#commands[@]}
      for ((j = 0; j < n; j++)); do
        timed_run "${commands[(p + j) % n]}" "$dir" "$load" "$p"
      done
    done
  done
  stop_busy
done

[[ -z ${BENCH_RAW:-} ]] || cp raw "$BENCH_RAW"
echo
echo "processor: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) processors"
echo "kelm:      $kelm"
[[ -n $base ]] && echo "kelm_base: $base"
echo "file:      $size_mib MiB, page-cached; dd bs=$dd_bs; $pairs pairs per cell"
echo
awk '
  function median(list, count,   sorted, i, j, t) {
    for (i = 1; i <= count; i++) sorted[i] = list[i]
    for (i = 2; i <= count; i++)
      for (j = i; j > 1 && sorted[j - 1] > sorted[j]; j--) {
        t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t
      }
    return count % 2 ? sorted[(count + 1) / 2] : (sorted[count / 2] + sorted[count / 2 + 1]) / 2
  }
  {
    key = $1 " " $2 " " $3
    wall[key, $4] = $5; cpu[key, $4] = $6; pairs[$4] = 1
    if (!(key in seen)) { seen[key] = 1; order[++keys] = key }
  }
  END {
    printf "%-6s %-4s %-5s %11s %9s %9s %9s %9s\n", "loops", "dir", "cmd", "ratio/dd", "wall s", "least", "cpu s", "least"
    for (k = 1; k <= keys; k++) {
      split(order[k], f, " ")
      n = 0
      for (p in pairs) {
        n++
        w[n] = wall[order[k], p] / 1e6; c[n] = cpu[order[k], p] / 1e3
        r[n] = wall[order[k], p] / wall[f[1] " " f[2] " dd", p]
        if (n == 1 || w[n] < lw) lw = w[n]
        if (n == 1 || c[n] < lc) lc = c[n]
      }
      printf "%-6s %-4s %-5s %11.2f %9.3f %9.3f %9.3f %9.3f\n", f[1], f[2], f[3], median(r, n), median(w, n), lw, median(c, n), lc
    }
  }' raw
