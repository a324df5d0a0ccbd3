#!/usr/bin/env bash
# Checks kelm as users get it: `cmake --install` into a fresh prefix, and the
# Debian package unpacked into a fresh root, each holding exactly the expected
# files and running a real round trip with the installed binary. The package
# must pass lintian with no error and no warning.
#
#   tests/install_test.sh          the native build (preset package)
#   tests/install_test.sh aarch64  a cross build (preset package-aarch64), whose
#                                  binaries run under qemu-user
# Run from anywhere; it builds what it needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --workflow --preset package >/dev/null
native_deb_arch=$(dpkg --print-architecture)
if (($# == 0)); then
  build=build/release
  run=()
else
  build=build/release-$1
  cmake --workflow --preset "package-$1" >/dev/null
  # The package's binaries run under qemu-user, with the libraries of Debian's
  # cross compiler for that processor.
  deb_arch=$(dpkg-deb --field "$(ls "$build"/kelm_*.deb)" Architecture)
  run=("qemu-$(dpkg-architecture -a"$deb_arch" -qDEB_HOST_GNU_CPU 2>/dev/null)"
       -L "/usr/$(dpkg-architecture -a"$deb_arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)")
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# Every file an install holds, relative to its prefix.
expected_files="bin/kelm
share/bash-completion/completions/kelm
share/doc/kelm/changelog.gz
share/doc/kelm/copyright
share/man/man1/kelm.1.gz"

# Checks the installed tree under PREFIX: the file list, the texts against
# their sources, and that man renders the compressed page without a warning.
check_files() {
  local prefix=$1
  diff <(echo "$expected_files") <(cd "$prefix" && find . -type f -printf '%P\n' | LC_ALL=C sort)
  zcat "$prefix/share/man/man1/kelm.1.gz" | cmp - doc/kelm.1
  zcat "$prefix/share/doc/kelm/changelog.gz" | cmp - packaging/changelog
  cmp "$prefix/share/doc/kelm/copyright" packaging/copyright
  cmp "$prefix/share/bash-completion/completions/kelm" completion/kelm.bash
  if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$prefix/share/man/man1/kelm.1.gz" >"$scratch/man.txt" 2>"$scratch/man.err"
    if [[ -s $scratch/man.err ]] || ! grep -q "^kelm $version" "$scratch/man.txt"; then
      cat "$scratch/man.err" >&2
      echo "man -l cannot render $prefix/share/man/man1/kelm.1.gz" >&2
      return 1
    fi
  fi
  echo "files under $prefix: ok"
}

# Runs the installed KELM: its version, then an encrypt/decrypt round trip.
round_trip() {
  local kelm=$1 work=$scratch/work
  rm -rf "$work" && mkdir -p "$work"
  test "$("${run[@]}" "$kelm" --version)" = "kelm $version"
  head -c 2500001 /dev/urandom > "$work/plain"
  head -c 64 /dev/urandom > "$work/key"
  "${run[@]}" "$kelm" encrypt "$work/plain" "$work/sealed" "$work/key" < /dev/null > "$work/out"
  "${run[@]}" "$kelm" decrypt "$work/sealed" "$work/opened" "$work/key" < /dev/null >> "$work/out"
  cmp "$work/plain" "$work/opened"
  grep -q 'keysize is 2^6' "$work/out"
  echo "round trip with $kelm: ok"
}

echo "== cmake --install"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
check_files "$scratch/prefix"
round_trip "$scratch/prefix/bin/kelm"

echo "== Debian package"
deb=$(ls "$build"/kelm_"$version"_*.deb)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Section\|Description\):/  &/p'
test "$(dpkg-deb --field "$deb" Version)" = "$version"
# A cross build's dependencies are written down by hand: they must be what
# dpkg-shlibdeps finds for the native build.
native_deb=build/release/kelm_${version}_$native_deb_arch.deb
if [[ $deb != "$native_deb" ]]; then
  diff <(dpkg-deb --field "$native_deb" Depends) <(dpkg-deb --field "$deb" Depends)
fi
dpkg -x "$deb" "$scratch/debroot"
check_files "$scratch/debroot/usr"
round_trip "$scratch/debroot/usr/bin/kelm"

if command -v lintian >/dev/null; then
  # Any error or warning fails. As root lintian also warns about running as
  # root, which says nothing about the package.
  if ! lintian --fail-on error,warning "$deb" >"$scratch/lintian.txt" 2>&1 ||
      grep -q '^[EW]: ' "$scratch/lintian.txt"; then
    cat "$scratch/lintian.txt" >&2
    echo "lintian: $deb fails" >&2
    exit 1
  fi
  grep -v 'root privileges' "$scratch/lintian.txt" || true
  echo "lintian: ok"
else
  echo "lintian: not installed, package not checked"
fi
echo "install test: ok"
