#!/bin/sh
# Usage: bench/wine.sh LINUX_KELM WINDOWS_KELM_EXE [ROUNDS]
#
# Times the Linux kelm and kelm.exe under Wine (through cmake/wine-run.sh)
# on the same files: a 10 MB and a 512 MiB input with a 64-byte key, encrypt
# then decrypt, the two binaries alternating round by round. Prints the median
# wall time of each in seconds. Wine's server is started once beforehand, so
# its start-up is not counted. Example:
#   cmake --preset release && cmake --build --preset release
#   cmake --preset release-windows && cmake --build --preset release-windows
#   bench/wine.sh build/release/kelm build/release-windows/kelm.exe 5
set -eu

if [ $# -lt 2 ]; then
  sed -n '2,12p' "$0" >&2
  exit 2
fi
linux=$(realpath "$1")
windows=$(realpath "$2")
rounds=${3:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
run_wine="$here/cmake/wine-run.sh"
prefix="$(dirname "$windows")/wine-prefix"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelm_wine_XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 64 /dev/urandom >key
head -c 10000000 /dev/urandom >small
head -c 536870912 /dev/urandom >large
"$run_wine" "$prefix" "$windows" --version >/dev/null

# Seconds one command takes, to the millisecond.
seconds() {
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 </dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000000)) | awk '{ printf "%.3f\n", $1 / 1000 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-8s %-8s %10s %10s %7s\n' file mode linux wine ratio
for file in small large; do
  for mode in encrypt decrypt; do
    : >linux.times
    : >wine.times
    input=$file
    [ "$mode" = decrypt ] && input=$file.sealed
    i=0
    while [ "$i" -lt "$rounds" ]; do
      rm -f out
      seconds "$linux" "$mode" "$input" out key >>linux.times
      rm -f out
      seconds "$run_wine" "$prefix" "$windows" "$mode" "$input" out key >>wine.times
      i=$((i + 1))
    done
    [ "$mode" = encrypt ] && mv out "$file.sealed"
    l=$(median <linux.times)
    w=$(median <wine.times)
    printf '%-8s %-8s %10s %10s %7s\n' "$file" "$mode" "$l" "$w" \
      "$(awk -v l="$l" -v w="$w" 'BEGIN { printf "%.2f", w / l }')"
  done
done
