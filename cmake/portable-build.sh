#!/usr/bin/env bash
# Builds the released Linux program, BUILD/authorstamp, so that it runs on
# every system with glibc GLIBC or newer.  A program needs the versions of
# the glibc symbols it calls in the glibc it was linked with; built on this
# machine, it would need this machine's glibc.  So this is an ordinary build
# of this project (the same CMakeLists.txt, hence the same sources, warnings
# and version) whose compiler is the g++ 10 of a Debian 11 root (glibc
# 2.31), with libstdc++ and libgcc linked in.  Then it checks that the
# program needs no glibc symbol newer than GLIBC and no C++ runtime library,
# and removes it if it does.
#
#   cmake/portable-build.sh SOURCE BUILD ROOT GLIBC
#
# ROOT is the Debian 11 root with g++ (made on first use, then reused).
# Needs root: debootstrap makes the root, and the compiler runs in it by
# chroot, in a mount namespace of its own that shows SOURCE and BUILD at
# their own paths.
set -euo pipefail

if (($# != 4)); then
  echo "usage: $0 SOURCE BUILD ROOT GLIBC" >&2
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
here=$(dirname "$(realpath "$0")")

bash "$here/debian-root.sh" bullseye "$root" g++
mkdir -p "$root$source" "$root$build"

# The build calls the root's g++ through chroot-g++.sh.
printf '#!/bin/sh\nexec bash "%s" "%s" "%s" "%s" "$@"\n' \
  "$here/chroot-g++.sh" "$root" "$source" "$build" >"$build/g++"
chmod +x "$build/g++"

cmake -S "$source" -B "$build" -G Ninja --log-level=WARNING \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$build/g++" \
  -DCMAKE_EXE_LINKER_FLAGS="-static-libstdc++ -static-libgcc" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
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
