#!/usr/bin/env bash
# Builds a released Linux program, BUILD/authorstamp, for PROCESSOR
# (x86_64, the default, or aarch64), so that it runs on every system with
# glibc GLIBC or newer.  A program needs the versions of the glibc symbols
# it calls in the glibc it was linked with; built on this machine, it would
# need this machine's glibc.  So this is an ordinary build of this project
# (the same CMakeLists.txt, hence the same sources, warnings, version and
# install rules) whose compiler is one of a Debian 11 root (glibc 2.31):
# its g++ 10 for x86-64, its cross g++ 10 (aarch64-linux-gnu-g++, with the
# arm64 glibc 2.31 of libc6-dev-arm64-cross) for arm64, with libstdc++ and
# libgcc linked in.  Then it checks that the program needs no glibc symbol
# newer than GLIBC and no C++ runtime library, and removes it if it does.
# The build directory's own cpack makes the program's archive.
#
#   cmake/portable-build.sh SOURCE BUILD ROOT GLIBC [PROCESSOR]
#
# ROOT is the Debian 11 root with both compilers (made on first use, then
# reused).  Needs root: debootstrap makes the root, and the compiler runs in
# it by chroot, in a mount namespace of its own that shows SOURCE and BUILD
# at their own paths.
set -euo pipefail

if (($# != 4 && $# != 5)); then
  echo "usage: $0 SOURCE BUILD ROOT GLIBC [PROCESSOR]" >&2
  exit 2
fi
if [ "$(id -u)" != 0 ]; then
  echo "$0: building the released program needs root: debootstrap makes" \
       "a Debian 11 system in $3, and the compiler runs there by chroot" >&2
  exit 1
fi
source=$(realpath "$1")
mkdir -p "$2"
build=$(realpath "$2")
root=$(realpath -m "$3")
glibc=$4
processor=${5:-x86_64}
here=$(dirname "$(realpath "$0")")

case $processor in
  x86_64) compiler=g++ cross=() ;;
  aarch64) compiler=aarch64-linux-gnu-g++
           cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64) ;;
  *) echo "$0: no released program for $processor (x86_64 or aarch64)" >&2
     exit 2 ;;
esac

# One root serves both builds, so both ask for the same packages.
bash "$here/debian-root.sh" bullseye "$root" g++ g++-aarch64-linux-gnu
mkdir -p "$root$source" "$root$build"

# The build calls the root's compiler through chroot-g++.sh.
printf '#!/bin/sh\nexec bash "%s" "%s" "%s" "%s" %s "$@"\n' \
  "$here/chroot-g++.sh" "$root" "$source" "$build" "$compiler" >"$build/$compiler"
chmod +x "$build/$compiler"

cmake -S "$source" -B "$build" -G Ninja --log-level=WARNING "${cross[@]}" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$build/$compiler" \
  -DCMAKE_EXE_LINKER_FLAGS="-static-libstdc++ -static-libgcc" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DAUTHORSTAMP_RUNS_ON_GLIBC="$glibc" \
  -DBUILD_TESTING=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
cmake --build "$build" --target authorstamp

program=$build/authorstamp
symbols=$(objdump -T "$program")
needed=$(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }')
fail() {
  echo "$0: $program $*" >&2
  rm -f "$program"
  exit 1
}
newer=()
while read -r version; do
  # Anything but a numbered version (GLIBC_PRIVATE) is no promise at all.
  if [[ ! $version =~ ^[0-9]+(\.[0-9]+)*$ ]] ||
     [ "$(printf '%s\n' "$version" "$glibc" | sort -V | tail -n 1)" != "$glibc" ]; then
    newer+=(-e "(GLIBC_$version)")
  fi
done < <(grep -o 'GLIBC_[^ )]*' <<<"$symbols" | sed 's/^GLIBC_//' | sort -u)
if ((${#newer[@]})); then
  fail "needs glibc newer than $glibc:"$'\n'"$(grep -F "${newer[@]}" <<<"$symbols")"
fi
if grep -q -E '^lib(stdc\+\+|gcc_s)' <<<"$needed"; then
  fail "needs the C++ runtime as a shared library:" $needed
fi
# Linked statically, glibc could not load the system's name service modules,
# and accounts that only they know (LDAP, sssd) would have no name.
if ! grep -q -x 'libc.so.6' <<<"$needed"; then
  fail "is not linked to glibc as a shared library"
fi
