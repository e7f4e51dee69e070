#!/usr/bin/env bash
# The Debian packages each job needs, in this one place, and what installs
# those that are missing:
#
#   .ci/packages.sh PURPOSE...
#
#   build    configure and build the release preset (the tool, its unit
#            test and benchmark): sample/run.sh
#   test     the Linux test suite on top of build: strace for the fault,
#            crash and concurrency suites, acl and attr for the identity
#            tests, groff and mandoc for the manual page, unshare, mount
#            and hostname for the private namespaces, bindfs for a file
#            system that answers from a cache: tests/run.sh
#   package  on top of build and test: the release.  The Linux programs
#            are built in a Debian 11 system that debootstrap makes, their
#            symbols read by objdump, the arm64 one tried under qemu; the
#            Windows one is cross-built with MinGW-w64 (with the tests'
#            googletest, as the windows preset configures them), its manual
#            rendered by groff, and it is tried under Wine:
#            cmake --workflow --preset package
#   fuzz     the fuzzer (clang, libFuzzer)        .ci/fuzz.sh
#   lint     the static checks and the layout     .ci/lint.sh
#   windows  the MinGW-w64 cross build and Wine   .ci/windows.sh
#   arm64    the arm64 cross build and qemu       cmake --workflow --preset arm64
#
# When every package is there it does nothing.  Otherwise it runs apt-get
# update and apt-get install -y, as root or through sudo; where neither is
# possible it prints the command to run and fails.
set -euo pipefail

declare -A lists=(
  [build]="cmake ninja-build g++ libgtest-dev python3 libbenchmark-dev"
  [test]="strace acl attr groff-base mandoc util-linux mount hostname bindfs"
  [package]="debootstrap debian-archive-keyring binutils qemu-user-static g++-mingw-w64-x86-64-posix googletest wine64 groff-base"
  [fuzz]="clang libclang-rt-dev"
  [lint]="clang-tidy cppcheck clang-format"
  [windows]="googletest g++-mingw-w64-x86-64-posix wine64 groff-base"
  [arm64]="googletest g++-aarch64-linux-gnu qemu-user-static"
)

wanted=()
for purpose in "$@"; do
  if [ -z "${lists[$purpose]+set}" ]; then
    echo "$0: no such purpose: $purpose (one of: ${!lists[*]})" >&2
    exit 2
  fi
  read -r -a names <<<"${lists[$purpose]}"
  wanted+=("${names[@]}")
done

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "== not a Debian system: make sure these, or what stands for them," \
       "are installed: ${wanted[*]}" >&2
  exit 0
fi

declare -A seen=()
missing=()
for p in "${wanted[@]}"; do
  [ -z "${seen[$p]+set}" ] || continue
  seen[$p]=1
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null |
    grep -q '^install ok installed$' || missing+=("$p")
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" = 0 ]; then
  as_root=(env)
elif command -v sudo >/dev/null; then
  as_root=(sudo env)
else
  as_root=()
fi
echo "== installing the Debian packages missing here: ${missing[*]}"
if ((${#as_root[@]})) &&
   "${as_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get update &&
   "${as_root[@]}" DEBIAN_FRONTEND=noninteractive \
     apt-get install -y "${missing[@]}"; then
  exit 0
fi
echo "$0: cannot install the packages; as root, run:" >&2
echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
exit 1
