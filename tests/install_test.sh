#!/usr/bin/env bash
# Checks kelm as users get it: `cmake --install` into a fresh prefix, and the
# Debian packages kelm, libkelm1 and libkelm-dev unpacked into fresh roots,
# each holding exactly the expected files. The installed binary runs a real
# round trip; doc/example.c builds against the unpacked library as C99 with
# pkg-config, shared and static, and as C++ with find_package(kelm), and each
# build runs. Every package must pass lintian with no error and no warning.
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
  deb_arch=$native_deb_arch
  run=()
  cc=(cc)
  toolchain=()
else
  build=build/release-$1
  cmake --workflow --preset "package-$1" >/dev/null
  # The package's binaries run under qemu-user, with the libraries of Debian's
  # cross compiler for that processor; the examples build with that compiler.
  deb_arch=$(dpkg-deb --field "$(ls "$build"/kelm_*.deb)" Architecture)
  gnu_type=$(dpkg-architecture -a"$deb_arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
  run=("qemu-$(dpkg-architecture -a"$deb_arch" -qDEB_HOST_GNU_CPU 2>/dev/null)" -L "/usr/$gnu_type")
  cc=("$gnu_type-gcc")
  toolchain=(-D "CMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/$gnu_type.cmake")
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
libdir=lib/$(dpkg-architecture -a"$deb_arch" -qDEB_HOST_MULTIARCH 2>/dev/null)

# Every file (or link) each package holds, relative to its prefix; an install
# holds all three.
expected_kelm="bin/kelm
share/bash-completion/completions/kelm
share/doc/kelm/changelog.gz
share/doc/kelm/copyright
share/man/man1/kelm.1.gz"
expected_libkelm1="$libdir/libkelm.so.1
$libdir/libkelm.so.$version
share/doc/libkelm1/changelog.gz
share/doc/libkelm1/copyright"
expected_libkelm_dev="include/kelm.h
$libdir/cmake/kelm/kelmConfig.cmake
$libdir/cmake/kelm/kelmConfigVersion.cmake
$libdir/libkelm.a
$libdir/libkelm.so
$libdir/pkgconfig/kelm.pc
share/doc/libkelm-dev/changelog.gz
share/doc/libkelm-dev/copyright"

# Checks that PREFIX holds exactly the files and links listed in EXPECTED.
check_list() {
  local prefix=$1 expected=$2
  diff <(LC_ALL=C sort <<<"$expected") \
       <(cd "$prefix" && find . ! -type d -printf '%P\n' | LC_ALL=C sort)
}

# Checks the texts under PREFIX against their sources, and that man renders
# the compressed page without a warning.
check_command_files() {
  local prefix=$1
  zcat "$prefix/share/man/man1/kelm.1.gz" | cmp - doc/kelm.1
  cmp "$prefix/share/bash-completion/completions/kelm" completion/kelm.bash
  if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$prefix/share/man/man1/kelm.1.gz" >"$scratch/man.txt" 2>"$scratch/man.err"
    if [[ -s $scratch/man.err ]] || ! grep -q "^kelm $version" "$scratch/man.txt"; then
      cat "$scratch/man.err" >&2
      echo "man -l cannot render $prefix/share/man/man1/kelm.1.gz" >&2
      return 1
    fi
  fi
}

# Checks the library under PREFIX: the header, the links, the SONAME, and
# that only the C API leaves the shared object.
check_library_files() {
  local prefix=$1 so=$1/$libdir/libkelm.so.$version leaked
  cmp "$prefix/include/kelm.h" lib/kelm.h
  test "$(readlink "$prefix/$libdir/libkelm.so")" = libkelm.so.1
  test "$(readlink "$prefix/$libdir/libkelm.so.1")" = "libkelm.so.$version"
  readelf -d "$so" | grep -q 'SONAME.*\[libkelm\.so\.1\]'
  # Defined global dynamic symbols, less the version node the version script adds.
  leaked=$(readelf --dyn-syms -W "$so" |
    awk 'NR > 3 && $5 != "LOCAL" && $7 != "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }' |
    grep -v -e '^kelm_' -e '^KELM_[0-9]*$' || true)
  if [[ -n $leaked ]]; then
    echo "libkelm.so exports more than the C API: ${leaked//$'\n'/ }" >&2
    return 1
  fi
}

# Checks the copyright and changelog in each package's folder under PREFIX.
check_package_docs() {
  local prefix=$1 doc
  for doc in "$prefix"/share/doc/*/; do
    zcat "$doc/changelog.gz" | cmp - packaging/changelog
    cmp "$doc/copyright" packaging/copyright
  done
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

# Runs an EXAMPLE build and checks what it says.
run_example() {
  test "$("${run[@]}" "$1")" = "libkelm $version: 3000 bytes, round trip ok"
}

# Builds doc/example.c against the library under SYSROOT/usr, as its users
# would, and runs each build: C99 with pkg-config against libkelm.so.1 and,
# fully static, against the archive and what kelm.pc's Libs.private names
# alone; C++ with find_package(kelm), against kelm::kelm and
# kelm::kelm_static.
build_examples() {
  local sysroot=$1 out=$scratch/examples flags
  local pc=(env "PKG_CONFIG_SYSROOT_DIR=$sysroot" "PKG_CONFIG_LIBDIR=$sysroot/usr/$libdir/pkgconfig"
            pkg-config)
  rm -rf "$out" && mkdir -p "$out"
  read -ra flags <<<"$("${pc[@]}" --cflags --libs kelm)"
  "${cc[@]}" -std=c99 -Wall -Wextra -Wpedantic -Werror doc/example.c "${flags[@]}" \
    -Wl,-rpath,"$sysroot/usr/$libdir" -o "$out/c99-shared"
  readelf -d "$out/c99-shared" | grep -q 'NEEDED.*\[libkelm\.so\.1\]'
  run_example "$out/c99-shared"
  read -ra flags <<<"$("${pc[@]}" --static --cflags --libs kelm)"
  "${cc[@]}" -std=c99 -Wall -Wextra -Wpedantic -Werror -static doc/example.c "${flags[@]}" \
    -o "$out/c99-static"
  run_example "$out/c99-static"

  cp doc/example.c "$out/example.cc"
  cat >"$out/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(kelm_example LANGUAGES CXX)
find_package(kelm 1 REQUIRED)
add_executable(cxx-shared example.cc)
target_link_libraries(cxx-shared PRIVATE kelm::kelm)
add_executable(cxx-static example.cc)
target_link_libraries(cxx-static PRIVATE kelm::kelm_static)
EOF
  cmake -S "$out" -B "$out/build" -G Ninja "${toolchain[@]}" \
    -D "kelm_DIR=$sysroot/usr/$libdir/cmake/kelm" >/dev/null
  cmake --build "$out/build" >/dev/null
  readelf -d "$out/build/cxx-shared" | grep -q 'NEEDED.*\[libkelm\.so\.1\]'
  if readelf -d "$out/build/cxx-static" | grep -q 'NEEDED.*\[libkelm'; then
    echo "kelm::kelm_static gives a program that needs libkelm.so" >&2
    return 1
  fi
  run_example "$out/build/cxx-shared"
  run_example "$out/build/cxx-static"
  echo "doc/example.c as C99 (pkg-config, shared and static) and C++ (find_package): ok"
}

echo "== cmake --install"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
check_list "$prefix" "$expected_kelm
$expected_libkelm1
$expected_libkelm_dev"
check_command_files "$prefix"
check_library_files "$prefix"
check_package_docs "$prefix"
# kelm.pc names the prefix it was installed under.
grep -qx "prefix=$prefix" "$prefix/$libdir/pkgconfig/kelm.pc"
echo "files under $prefix: ok"
round_trip "$prefix/bin/kelm"

echo "== Debian packages"
debroot=$scratch/debroot
packages=(kelm libkelm1 libkelm-dev)
for package in "${packages[@]}"; do
  deb=$build/${package}_${version}_$deb_arch.deb
  dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Section\):/  &/p'
  test "$(dpkg-deb --field "$deb" Version)" = "$version"
  # A cross build's dependencies are written down by hand: they must be what
  # dpkg-shlibdeps finds for the native build.
  native_deb=build/release/${package}_${version}_$native_deb_arch.deb
  if [[ $deb != "$native_deb" ]]; then
    diff <(dpkg-deb --field "$native_deb" Depends) <(dpkg-deb --field "$deb" Depends)
  fi
  dpkg -x "$deb" "$scratch/$package"
  expected=expected_${package//-/_}
  check_list "$scratch/$package/usr" "${!expected}"
  check_package_docs "$scratch/$package/usr"
  dpkg -x "$deb" "$debroot"
done
check_command_files "$debroot/usr"
check_library_files "$debroot/usr"
test "$(dpkg-deb --field "$build/libkelm-dev_${version}_$deb_arch.deb" Depends)" = \
  "libkelm1 (= $version)"
echo "files of the three packages: ok"
round_trip "$debroot/usr/bin/kelm"
build_examples "$debroot"

# A program linked with libkelm.so.1 gets its dependency from libkelm1's
# shlibs file, as dpkg-shlibdeps finds it while that package is being built.
dpkg-deb --ctrl-tarfile "$build/libkelm1_${version}_$deb_arch.deb" | tar -xO ./shlibs |
  cmp - <(echo "libkelm 1 libkelm1 (>= $version)")
if [[ $deb_arch == "$native_deb_arch" ]]; then
  shlibdeps=$scratch/shlibdeps
  mkdir -p "$shlibdeps/debian"
  touch "$shlibdeps/debian/control"
  dpkg-deb --raw-extract "$build/libkelm1_${version}_$deb_arch.deb" "$shlibdeps/debian/libkelm1"
  mkdir -p "$shlibdeps/debian/example/DEBIAN" "$shlibdeps/debian/example/usr/bin"
  cp "$scratch/examples/c99-shared" "$shlibdeps/debian/example/usr/bin/"
  (cd "$shlibdeps" &&
    dpkg-shlibdeps -O -l"debian/libkelm1/usr/$libdir" debian/example/usr/bin/c99-shared) |
    grep -q "libkelm1 (>= $version)"
  echo "dpkg-shlibdeps on a program linked with libkelm.so.1: ok"
fi

if command -v lintian >/dev/null; then
  # Any error or warning fails. As root lintian also warns about running as
  # root, which says nothing about the packages. One run for all three: most
  # of its time goes into starting.
  debs=()
  for package in "${packages[@]}"; do
    debs+=("$build/${package}_${version}_$deb_arch.deb")
  done
  if ! lintian --fail-on error,warning "${debs[@]}" >"$scratch/lintian.txt" 2>&1 ||
      grep -q '^[EW]: ' "$scratch/lintian.txt"; then
    cat "$scratch/lintian.txt" >&2
    echo "lintian: ${debs[*]} fail" >&2
    exit 1
  fi
  grep -v 'root privileges' "$scratch/lintian.txt" || true
  echo "lintian ${debs[*]}: ok"
else
  echo "lintian: not installed, packages not checked"
fi
echo "install test: ok"
