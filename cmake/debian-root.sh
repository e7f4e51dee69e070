#!/usr/bin/env bash
# Makes DIR a minimal Debian system of the release SUITE (debootstrap
# --variant=minbase) with the PACKAGEs added, unless DIR already holds one
# made so: the release build compiles in such a root, and its test runs the
# archive's binary in others.
#
#   cmake/debian-root.sh SUITE DIR [PACKAGE...]
#
# The packages come from the Debian mirror that this machine's apt uses
# (http://deb.debian.org/debian where there is none; DEBIAN_MIRROR, when
# set, wins).  Needs root and debootstrap, and says so when either is
# missing.  debootstrap runs in a mount namespace of its own, so that the
# file systems it mounts in DIR go away with it, also when it is stopped.
set -euo pipefail

if (($# < 2)); then
  echo "usage: $0 SUITE DIR [PACKAGE...]" >&2
  exit 2
fi
suite=$1
dir=$2
shift 2
made_for="$suite minbase $*"
stamp=$dir/.debian-root

ready() { [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$made_for" ]; }
ready && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "$0: making a Debian $suite system in $dir needs root" \
       "(debootstrap and chroot): run this as root" >&2
  exit 1
fi
if ! command -v debootstrap >/dev/null; then
  echo "$0: making a Debian $suite system in $dir needs debootstrap:" \
       "apt-get install debootstrap (or bash .ci/packages.sh package)" >&2
  exit 1
fi

# The mirror of this machine's own release, as apt reads its sources.
mirror=${DEBIAN_MIRROR:-}
if [ -z "$mirror" ] && command -v apt-get >/dev/null && [ -r /etc/os-release ]; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' |
           awk -v r="$codename" '$1 == r { print $2; exit }')
fi
mirror=${mirror:-http://deb.debian.org/debian}

# One maker at a time; whoever waited finds the root made.
mkdir -p "$(dirname "$dir")"
exec 9>"$dir.lock"
flock 9
ready && exit 0

# What an interrupted run left is started afresh.  Nothing can be mounted
# there (see above), and --one-file-system would stop at it if it were.
rm -rf --one-file-system "$dir"
log=$dir.log
include=()
(($#)) && include=("--include=$(IFS=,; echo "$*")")
echo "== making a Debian $suite system${*:+ with $*} in $dir" \
     "(debootstrap from $mirror, about a minute)"
started=$SECONDS
if ! unshare --mount debootstrap --variant=minbase "${include[@]}" \
       "$suite" "$dir" "$mirror" >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "$0: debootstrap of Debian $suite into $dir failed; its log: $log" >&2
  exit 1
fi
echo "$made_for" >"$stamp"
echo "== Debian $suite system ready in $((SECONDS - started)) s"
