#!/usr/bin/env bash
# End-to-end speed of kelm against plain copies and other file-encryption
# tools, at 4 KiB, 10 MB and 512 MiB.
#
#   bench/compare.sh [--quick] [RUNS_4K [RUNS_10M [RUNS_512M]]]
#
# Each size is measured in rounds: a round runs every command once, so all of
# them see the same machine load; each round starts one command further on
# in the list, so that no command always follows the same one. The commands:
#   cat            cat in > out
#   dd             dd if=in of=out bs=1M (a copy that, like kelm, passes every
#                  byte through a buffer of its own)
#   kelm-enc-32    kelm encrypt with a 32-byte key; kelm-dec-32 decrypts
#   kelm-enc-128   the same with a 128-byte key; kelm-dec-128 decrypts
#   openssl-enc    openssl enc -aes-128-ctr with a raw -K/-iv key (no key
#                  derivation); openssl-dec decrypts
#   age-enc        age to a recipient made once by age-keygen; age-dec decrypts
#   ccrypt-enc     ccrypt with a key string given by -K; ccrypt-dec decrypts
# and four pipelines, each through `sh -c`:
#   pipe-dd-in     cat in | dd of=out bs=256K (a pipe into a file)
#   kelm-enc-pipe  cat in | kelm encrypt - out (the same, through kelm)
#   pipe-dd-out    dd if=in.kelm-32 bs=256K | cat > /dev/null (a file into a pipe)
#   kelm-dec-pipe  kelm decrypt in.kelm-32 - | cat > /dev/null (the same, through kelm)
# openssl, age and ccrypt write formats of their own: they are here as the
# tools a user might pick instead, for speed only. Run as root, the script
# installs the missing ones (and GNU time) with apt-get; a tool that cannot be
# had is left out with a note.
#
# Every decrypting command reads a file made once before the rounds, and
# every command writes the same output file, which is removed (and the
# removal synced) before each command, outside the timing. kelm reads its
# standard input from /dev/null and never meets an existing output.
#
# For each size and command the table shows the median wall time, the
# medians of the per-round ratios to dd and to cat (each ratio taken within
# one round, then the median of those), the median processor time (user+sys
# of the process and its children, from the shell's `times`), the median of
# its per-round ratio to dd's, and the peak resident memory. The timed runs
# are the bare commands: wrapping them in /usr/bin/time costs a process
# start of its own, which doubles a 4 KiB copy. Peak memory therefore comes
# from separate runs under /usr/bin/time after the timed rounds (the most of
# MEM_RUNS runs). The shell counts processor time in whole milliseconds, so
# at 4 KiB that column and its ratio are coarse. Before timing a size, the
# script checks that each decrypting command gives back the input, and stops
# loudly if one does not.
#
# Settings (arguments win over variables):
#   RUNS_4K, RUNS_10M, RUNS_512M  rounds per size (default 41, 21, 12: as many as commands)
#   MEM_RUNS      runs per command for peak memory (default 3)
#   SIZES         which sizes, of "4k 10m 512m" (default all three)
#   --quick       5, 3 and 1 rounds and one memory run: to try the script
#   KELM          the binary (default build/release/kelm)
#   KELM_BASE     a second kelm binary, run in the same rounds as base-enc-32,
#                 base-dec-32, base-enc-128 and base-dec-128: before and after
#                 a change, compared within one run
#   BENCH_DIR     where the scratch folder goes (default /tmp, or /var/tmp
#                 where /tmp is a tmpfs: the files should be on a disk)
#   BENCH_RAW     a file to which the raw measurements are copied
#   NO_INSTALL=1  never run apt-get
#   PEERS=0       cat, dd and kelm only: a run of minutes instead of ten
# The scratch folder and everything in it is removed at the end.
# This is a benchmark, not a test: nothing here passes or fails on speed.
set -euo pipefail
export LC_ALL=C # a point, not a comma, in $EPOCHREALTIME and in awk

usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; }
die() {
  echo "compare.sh: $*" >&2
  exit 1
}

quick=0
runs_args=()
for arg in "$@"; do
  case $arg in
    -h | --help) usage; exit 0 ;;
    -q | --quick) quick=1 ;;
    *[!0-9]* | '' | 0) die "not a positive run count: '$arg' (--help for usage)" ;;
    *) runs_args+=("$arg") ;;
  esac
done
((${#runs_args[@]} <= 3)) || die "at most three run counts (--help for usage)"
if ((quick)); then
  : "${RUNS_4K:=5}" "${RUNS_10M:=3}" "${RUNS_512M:=1}" "${MEM_RUNS:=1}"
fi
runs_4k=${runs_args[0]:-${RUNS_4K:-41}}
runs_10m=${runs_args[1]:-${RUNS_10M:-21}}
runs_512m=${runs_args[2]:-${RUNS_512M:-12}}
mem_runs=${MEM_RUNS:-3}
sizes=${SIZES:-4k 10m 512m}
for n in "$runs_4k" "$runs_10m" "$runs_512m" "$mem_runs"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || die "not a positive run count: '$n'"
done
for s in $sizes; do
  case $s in
    4k | 10m | 512m) ;;
    *) die "unknown size '$s' in SIZES (4k, 10m, 512m)" ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
kelm=${KELM:-$root/build/release/kelm}
[[ -x $kelm && -f $kelm ]] || die "no kelm binary at $kelm: build it first (README)"
kelm=$(realpath "$kelm")
kelm_base=
if [[ -n ${KELM_BASE:-} ]]; then
  [[ -x $KELM_BASE && -f $KELM_BASE ]] || die "no kelm binary at $KELM_BASE"
  kelm_base=$(realpath "$KELM_BASE")
fi

# --- the peers ---------------------------------------------------------------

# Installs the Debian packages named, one at a time so that one missing
# package does not stop the others; only as root, and only once per run.
apt_updated=0
install_packages() {
  ((EUID == 0)) && [[ ${NO_INSTALL:-0} != 1 ]] && command -v apt-get > /dev/null || return 0
  if ((!apt_updated)); then
    echo "installing $* with apt-get" >&2
    apt-get update -qq > /dev/null 2>&1 || echo "note: apt-get update failed" >&2
    apt_updated=1
  fi
  local package
  for package in "$@"; do
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "$package" > /dev/null 2>&1 || echo "note: could not install $package" >&2
  done
}

missing=()
if [[ ${PEERS:-1} != 0 ]]; then
  command -v openssl > /dev/null || missing+=(openssl)
  command -v age > /dev/null && command -v age-keygen > /dev/null || missing+=(age)
  command -v ccrypt > /dev/null || missing+=(ccrypt)
fi
[[ -x /usr/bin/time ]] || missing+=(time)
((${#missing[@]} == 0)) || install_packages "${missing[@]}"

peers=()
notes=()
have_peer() { # have_peer NAME COMMAND...: keeps NAME if all its commands run
  local name=$1 tool
  shift
  for tool in "$@"; do
    if ! command -v "$tool" > /dev/null; then
      notes+=("$name left out: $tool is not installed (apt-get install $name, as root)")
      return 0
    fi
  done
  peers+=("$name")
}
if [[ ${PEERS:-1} != 0 ]]; then
  have_peer openssl openssl
  have_peer age age age-keygen
  have_peer ccrypt ccrypt
fi
if [[ ! -x /usr/bin/time ]]; then
  notes+=("no peak memory: /usr/bin/time is not installed (apt-get install time)")
fi

commands=(cat dd kelm-enc-32 kelm-dec-32 kelm-enc-128 kelm-dec-128
  pipe-dd-in kelm-enc-pipe pipe-dd-out kelm-dec-pipe)
if [[ -n $kelm_base ]]; then
  commands+=(base-enc-32 base-dec-32 base-enc-128 base-dec-128)
fi
for peer in ${peers[@]+"${peers[@]}"}; do
  commands+=("$peer-enc" "$peer-dec")
done

# --- the scratch folder ------------------------------------------------------

parent=${BENCH_DIR:-/tmp}
if [[ -z ${BENCH_DIR:-} && $(stat -f -c %T /tmp) == tmpfs ]]; then
  parent=/var/tmp # keep the files on a disk, as a user's files would be
fi
mkdir -p "$parent"
if [[ -n ${BENCH_RAW:-} ]]; then
  BENCH_RAW=$(realpath -m "$BENCH_RAW")
  echo "# size kind command [round wall_us cpu_ms | peak_kib]" > "$BENCH_RAW"
fi
work=$(mktemp -d "$parent/kelm-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
cd "$work"

# --- describing and running one command --------------------------------------

# Keys, made once for all sizes.
head -c 32 /dev/urandom > key32
head -c 128 /dev/urandom > key128
hex() { od -An -v -tx1 -N "$1" /dev/urandom | tr -d ' \n'; }
openssl_key=$(hex 16)
openssl_iv=$(hex 16)
ccrypt_key=$(hex 32)
if [[ " ${peers[*]-} " == *" age "* ]]; then
  age-keygen -o age.key 2> /dev/null
  age_recipient=$(age-keygen -y age.key)
fi

# Sets cmd (the argument list), cmd_in and cmd_out (its standard input and
# output) and reads (the file it reads) for command $1 writing its result to
# file $2.
describe() {
  local out=$2
  cmd_in=/dev/null
  cmd_out=/dev/null
  reads=in
  case $1 in
    *-dec) reads=in.${1%-dec} ;;
    kelm-dec-pipe | pipe-dd-out) reads=in.kelm-32 ;;
    kelm-dec-*) reads=in.kelm-${1#kelm-dec-} ;;
    base-dec-*) reads=in.kelm-${1#base-dec-} ;;
  esac
  # shellcheck disable=SC2016 # the pipelines' own shell expands their words
  case $1 in
    cat) cmd=(cat in) cmd_out=$out ;;
    dd) cmd=(dd if=in of="$out" bs=1M status=none) ;;
    kelm-enc-32) cmd=("$kelm" encrypt in "$out" key32) ;;
    kelm-dec-32) cmd=("$kelm" decrypt in.kelm-32 "$out" key32) ;;
    kelm-enc-128) cmd=("$kelm" encrypt in "$out" key128) ;;
    kelm-dec-128) cmd=("$kelm" decrypt in.kelm-128 "$out" key128) ;;
    pipe-dd-in) cmd=(sh -c 'cat in | dd of="$1" bs=256K status=none' sh "$out") ;;
    kelm-enc-pipe) cmd=(sh -c 'cat in | "$1" encrypt - "$2" key32' sh "$kelm" "$out") ;;
    pipe-dd-out) cmd=(sh -c 'dd if=in.kelm-32 bs=256K status=none | cat' sh) ;;
    kelm-dec-pipe) cmd=(sh -c '"$1" decrypt in.kelm-32 - key32 | cat' sh "$kelm") ;;
    base-enc-*) cmd=("$kelm_base" encrypt in "$out" "key${1#base-enc-}") ;;
    base-dec-*) cmd=("$kelm_base" decrypt "in.kelm-${1#base-dec-}" "$out" "key${1#base-dec-}") ;;
    openssl-enc)
      cmd=(openssl enc -aes-128-ctr -K "$openssl_key" -iv "$openssl_iv" -in in -out "$out") ;;
    openssl-dec)
      cmd=(openssl enc -d -aes-128-ctr -K "$openssl_key" -iv "$openssl_iv"
        -in in.openssl -out "$out") ;;
    age-enc) cmd=(age -r "$age_recipient" -o "$out" in) ;;
    age-dec) cmd=(age -d -i age.key -o "$out" in.age) ;;
    ccrypt-enc) cmd=(ccrypt -e -K "$ccrypt_key") cmd_in=in cmd_out=$out ;;
    ccrypt-dec) cmd=(ccrypt -d -K "$ccrypt_key") cmd_in=in.ccrypt cmd_out=$out ;;
    *) die "no such command: $1" ;;
  esac
}

# Reports a command that failed, with what it wrote to standard error.
failed() {
  echo "compare.sh: $1 failed (exit status $2):" >&2
  sed 's/^/  /' errors >&2
  exit 1
}

# Runs command $1 once, untimed, writing to file $2.
run_once() {
  describe "$1" "$2"
  rm -f "$2"
  "${cmd[@]}" < "$cmd_in" > "$cmd_out" 2> errors || failed "$1" $?
}

# shellcheck source=bench/times.sh
source "$root/bench/times.sh"

# Runs command $1 once for round $2 and appends its wall and processor time
# to the raw record. Only the command itself is inside the timing: no
# process is started between the two clock readings but the command.
timed_run() {
  describe "$1" out
  rm -f out
  sync
  # Warm again what this command reads: a slow command before it gives the
  # kernel time to drop pages it sees as cold, and this one would then read
  # from disk. Only this file: reading them all would itself take fresh
  # memory that the timed command then competes for.
  cat "$reads" > /dev/null
  local start end before after status=0
  times > times.before
  start=$EPOCHREALTIME
  "${cmd[@]}" < "$cmd_in" > "$cmd_out" 2> errors || status=$?
  end=$EPOCHREALTIME
  times > times.after
  ((status == 0)) || failed "$1" "$status"
  children_ms times.before before
  children_ms times.after after
  echo "time $1 $2 $((${end/./} - ${start/./})) $((after - before))" >> raw
}

# Runs command $1 under /usr/bin/time and appends its peak resident memory.
memory_run() {
  describe "$1" out
  rm -f out
  sync
  /usr/bin/time -f %M -o rss "${cmd[@]}" < "$cmd_in" > "$cmd_out" 2> errors ||
    failed "$1" $?
  echo "memory $1 $(tail -n 1 rss)" >> raw
}

# --- one size ----------------------------------------------------------------

# Makes the input and, once, every file that a decrypting command reads;
# checks that each decrypting command gives back the input.
prepare() {
  local bytes=$1 label=$2 tool
  head -c "$bytes" /dev/urandom > in
  run_once kelm-enc-32 in.kelm-32
  run_once kelm-enc-128 in.kelm-128
  for tool in ${peers[@]+"${peers[@]}"}; do
    run_once "$tool-enc" "in.$tool"
  done
  local decrypting=(kelm-dec-32 kelm-dec-128)
  [[ -z $kelm_base ]] || decrypting+=(base-dec-32 base-dec-128)
  for tool in "${decrypting[@]}" ${peers[@]+"${peers[@]/%/-dec}"}; do
    run_once "$tool" check
    cmp -s in check || die "ROUND TRIP FAILED: $tool did not give back the $label input"
  done
  rm -f check
  sync                      # nothing left to write back while timing
  cat in in.* > /dev/null # warm the page cache
}

# Prints the table for the raw record of one size of $1 bytes.
summarise() {
  awk -v bytes="$1" '
    function median(values, n,   sorted, i, j, v) {
      for (i = 1; i <= n; i++) sorted[i] = values[i]
      for (i = 2; i <= n; i++) {
        v = sorted[i]
        for (j = i - 1; j >= 1 && sorted[j] > v; j--) sorted[j + 1] = sorted[j]
        sorted[j + 1] = v
      }
      return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
    }
    function ratio(values, n) { return n ? sprintf("%.2fx", median(values, n)) : "-" }
    $1 == "time" {
      if (!($2 in seen)) { seen[$2] = 1; order[++names] = $2 }
      if (!($3 in round_seen)) { round_seen[$3] = 1; rounds[++nrounds] = $3 }
      wall[$2, $3] = $4; cpu[$2, $3] = $5
    }
    $1 == "memory" && $3 > rss[$2] { rss[$2] = $3 }
    END {
      printf "%-13s %11s %8s %8s %9s %9s %9s %9s\n", "command", "wall_ms", "vs_dd",
        "vs_cat", "MB/s", "cpu_ms", "cpu_vs_dd", "peak_MiB"
      for (k = 1; k <= names; k++) {
        c = order[k]; n = nd = nc = ncd = 0
        for (i = 1; i <= nrounds; i++) {
          r = rounds[i]
          w[++n] = wall[c, r]; u[n] = cpu[c, r]
          if (wall["dd", r] > 0) to_dd[++nd] = wall[c, r] / wall["dd", r]
          if (wall["cat", r] > 0) to_cat[++nc] = wall[c, r] / wall["cat", r]
          # A process can use less than the one-millisecond grain of the
          # clock; such a round gives no ratio.
          if (cpu["dd", r] > 0) cpu_to_dd[++ncd] = cpu[c, r] / cpu["dd", r]
        }
        m = median(w, n)
        printf "%-13s %11.3f %8s %8s %9.0f %9.1f %9s %9s\n", c, m / 1000, ratio(to_dd, nd),
          ratio(to_cat, nc), (m > 0 ? bytes / m : 0), median(u, n), ratio(cpu_to_dd, ncd),
          ((c in rss) ? sprintf("%.1f", rss[c] / 1024) : "-")
      }
    }' raw
}

# Measures one size: $1 of 4k, 10m or 512m.
measure_size() {
  local bytes label runs round name
  case $1 in
    4k) bytes=4096 label="4 KiB" runs=$runs_4k ;;
    10m) bytes=10000000 label="10 MB" runs=$runs_10m ;;
    512m) bytes=$((512 * 1024 * 1024)) label="512 MiB" runs=$runs_512m ;;
  esac
  local free_kib need_kib=$((bytes * (5 + ${#peers[@]}) / 1024 + 1024))
  free_kib=$(df -Pk . | awk 'NR == 2 { print $4 }')
  ((free_kib > need_kib)) ||
    die "$label needs $((need_kib / 1024)) MiB free in $work, has $((free_kib / 1024))"

  echo
  echo "== $label ($bytes bytes): $runs round(s); peak memory over $mem_runs more run(s) =="
  prepare "$bytes" "$label"
  : > raw
  # Each round starts one command further on, so that no command always runs
  # first after the slowest peer: on a virtual machine the first to write
  # after a long pause can pay for the host handing memory back.
  local count=${#commands[@]} i
  for ((round = 1; round <= runs; round++)); do
    for ((i = 0; i < count; i++)); do
      timed_run "${commands[(i + round - 1) % count]}" "$round"
    done
  done
  if [[ -x /usr/bin/time ]]; then
    for ((round = 1; round <= mem_runs; round++)); do
      for name in "${commands[@]}"; do
        memory_run "$name"
      done
    done
  fi
  rm -f out in in.*
  summarise "$bytes"
  if [[ -n ${BENCH_RAW:-} ]]; then
    sed "s/^/$1 /" raw >> "$BENCH_RAW"
  fi
}

# --- the run -----------------------------------------------------------------

cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
memory_gib=$(awk '/^MemTotal:/ { printf "%.1f", $2 / 1048576 }' /proc/meminfo)
echo "machine: ${cpu_model:-unknown processor}, $(nproc) cores, $memory_gib GiB, $(uname -sr)"
echo "kelm:    $kelm ($(stat -c %y "$kelm" | cut -d. -f1))"
[[ -z $kelm_base ]] || echo "base:    $kelm_base ($(stat -c %y "$kelm_base" | cut -d. -f1))"
# findmnt names ext4 where stat says ext2/ext3; the last line is the mount on top.
fs_type=$(findmnt -n -o FSTYPE -T . 2> /dev/null | tail -n 1) || true
[[ -n $fs_type ]] || fs_type=$(stat -f -c %T .)
echo "scratch: $work ($fs_type); warm page cache; $(date -u '+%Y-%m-%d %H:%M UTC')"
for tool in ${peers[@]+"${peers[@]}"}; do
  case $tool in
    openssl) echo "peer:    $(openssl version), -aes-128-ctr with a raw -K/-iv key (no key derivation)" ;;
    age) echo "peer:    age $(age --version), to an X25519 recipient from age-keygen" ;;
    ccrypt) echo "peer:    $(ccrypt --version | sed -n '1s/\. .*//p'), key string given with -K" ;;
  esac
done
for note in ${notes[@]+"${notes[@]}"}; do
  echo "note:    $note"
done
echo "times:   medians over rounds; vs_dd, vs_cat and cpu_vs_dd are medians of"
echo "         per-round ratios; cpu is user+sys; MB/s is 10^6 bytes per second"

for size in $sizes; do
  measure_size "$size"
done
