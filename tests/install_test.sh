#!/usr/bin/env bash
# Checks kelm as users get it: `cmake --install` into a fresh prefix, and the
# Debian package unpacked into a fresh root, each running a real round trip
# with the installed binary and carrying the manual page.
#
#   tests/install_test.sh      (from the source folder; builds what it needs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --workflow --preset package >/dev/null

round_trip() {
  local kelm=$1 work=$scratch/work
  rm -rf "$work" && mkdir -p "$work"
  head -c 2500001 /dev/urandom > "$work/plain"
  head -c 64 /dev/urandom > "$work/key"
  "$kelm" encrypt "$work/plain" "$work/sealed" "$work/key" < /dev/null > "$work/out"
  "$kelm" decrypt "$work/sealed" "$work/opened" "$work/key" < /dev/null >> "$work/out"
  cmp "$work/plain" "$work/opened"
  grep -q 'keysize is 2^6' "$work/out"
  echo "round trip with $kelm: ok"
}

echo "== cmake --install"
cmake --install build/release --prefix "$scratch/prefix" >/dev/null
test -x "$scratch/prefix/bin/kelm"
test -f "$scratch/prefix/share/man/man1/kelm.1"
round_trip "$scratch/prefix/bin/kelm"

echo "== Debian package"
deb=$(ls build/release/kelm_*.deb)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Section\|Description\):/  &/p'
dpkg -x "$deb" "$scratch/debroot"
test -f "$scratch/debroot/usr/share/man/man1/kelm.1"
round_trip "$scratch/debroot/usr/bin/kelm"
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$scratch/debroot/usr/share/man/man1/kelm.1" 2>/dev/null | sed -n '1,4p'
fi
echo "install test: ok"
