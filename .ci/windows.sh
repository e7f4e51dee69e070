#!/usr/bin/env bash
# Cross-builds the Windows executable with MinGW-w64 and runs its tests
# under Wine (cmake --workflow --preset windows).  The release build
# (cmake --workflow --preset package) builds the executable and its manual
# in the same directory, build/windows, so that this step tests the very
# program the release holds and only builds the tests when it ran first.
#
# Wine gets a private prefix in the build directory and a server that is
# started here, detached from every output stream, and stopped at the end
# whatever happens (cmake/wine-server.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=$PWD/build/windows/wineprefix
stop_wine() { bash cmake/wine-server.sh stop "$prefix" || true; }

started=$SECONDS
trap stop_wine EXIT
bash cmake/wine-server.sh start "$prefix"
echo "== Wine ready after $((SECONDS - started)) s"

# The whole step is bounded, so that a Wine process that never exits
# cannot hold CI for ever.
timeout --kill-after=30 900 cmake --workflow --preset windows
echo "== Windows step took $((SECONDS - started)) s"
