#!/usr/bin/env bash
# Cross-builds the Windows executable with MinGW-w64 and runs its tests
# under Wine (cmake --workflow --preset windows).
#
# Wine gets a private prefix in the build directory and a server that is
# started here, detached from every output stream, and stopped at the end
# whatever happens.  Left to start on their own, the server and Wine's
# background processes would hold CTest's output pipes open and keep it
# waiting, and every test would pay for a fresh start.
set -euo pipefail
cd "$(dirname "$0")/.."

export WINEPREFIX="$PWD/build/windows/wineprefix"
export WINEDEBUG=-all
# No .NET or HTML engine to install, and no desktop process: without a
# display it cannot work, yet every message box would wait for it.
export WINEDLLOVERRIDES="mscoree,mshtml=;explorer.exe=d"
export LANG=C.UTF-8
unset LC_ALL DISPLAY WAYLAND_DISPLAY
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
wine=${WINE:-/usr/lib/wine/wine64}

stop_wine() {
  "$wineserver" -k >/dev/null 2>&1 || true
  timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
}

started=$SECONDS
# A server left over from an interrupted run may not be the persistent one.
stop_wine
trap stop_wine EXIT
mkdir -p "$WINEPREFIX"
"$wineserver" -p </dev/null >/dev/null 2>&1
# A fresh prefix takes a while to set up; later runs find it ready.
"$wine" wineboot -i </dev/null >/dev/null 2>&1
echo "== Wine ready after $((SECONDS - started)) s"

# The whole step is bounded, so that a Wine process that never exits
# cannot hold CI for ever.
timeout --kill-after=30 900 cmake --workflow --preset windows
echo "== Windows step took $((SECONDS - started)) s"
