#!/usr/bin/env bash
# Runs the whole Linux test suite: the release build, the unit tests, the
# end-to-end suite and the fault, crash and concurrency suites (cmake
# --workflow --preset test).  Installs the Debian packages they need first,
# if any are missing.
#
# Some cases need root (other users' files, private mounts): without it
# their suites show as skipped in CTest's summary, and the reasons are
# listed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/packages.sh build test

status=0
cmake --workflow --preset test || status=$?

# A suite that could not run whole ends its output with the cases it could
# not run, and why; CTest keeps that output in its log.
log=build/release/Testing/Temporary/LastTest.log
if [ -f "$log" ] && grep -q '^SKIPPED: ' "$log"; then
  echo "== not run on this machine:"
  sed -n '/^SKIPPED: /,/^[^ ]/{/^  /p}' "$log" | sort -u
fi
exit "$status"
