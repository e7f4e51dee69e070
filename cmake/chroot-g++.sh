#!/usr/bin/env bash
# Runs the compiler COMPILER (g++, or a cross g++ such as
# aarch64-linux-gnu-g++) of the Debian system in ROOT on ARGS, in the
# working directory, as a build calls its compiler: by chroot, in a mount
# namespace of its own that shows the directories SOURCE and BUILD at their
# own paths, so that every path in ARGS means there what it means here.
# cmake/portable-build.sh makes it the compiler of its build.
#
#   cmake/chroot-g++.sh ROOT SOURCE BUILD COMPILER ARGS...
set -euo pipefail
root=$1
source=$2
build=$3
compiler=$4
shift 4

args=()
for arg in "$@"; do
  # Ninja would look for the root's system headers, which -MD lists, in
  # this system, miss them and rebuild every object every time.  They do not
  # change between builds, and -MMD leaves them out.
  [ "$arg" = -MD ] && arg=-MMD
  args+=("$arg")
done
exec unshare --mount sh -c '
  mount --bind "$1" "$3$1" && mount --bind "$2" "$3$2" || exit 1
  root=$3 dir=$4 compiler=$5
  shift 5
  exec chroot "$root" env -C "$dir" "$compiler" "$@"' \
  sh "$source" "$build" "$root" "$PWD" "$compiler" "${args[@]}"
