#!/usr/bin/env bash
# Starts or stops the Wine server of the private prefix PREFIX, for the runs
# of Windows programs under Wine that follow (.ci/windows.sh, the release
# test):
#
#   cmake/wine-server.sh start PREFIX   # stops a server left over, starts
#                                       # one that stays, initialises PREFIX
#   cmake/wine-server.sh stop PREFIX
#
# Every stream of the server and of the prefix's set-up is on /dev/null:
# left to start on their own, the server and Wine's background processes
# would inherit the caller's output pipes and keep CTest waiting, and every
# run would pay for a fresh start.  A fresh prefix takes some seconds to set
# up (about 700 MB); later starts find it ready.
set -euo pipefail

if (($# != 2)) || [[ $1 != start && $1 != stop ]]; then
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
fi
mkdir -p "$2"
export WINEPREFIX=$(realpath "$2")
export WINEDEBUG=-all
# No .NET or HTML engine to install, and no desktop process: without a
# display it cannot work, yet every message box would wait for it.
export WINEDLLOVERRIDES="mscoree,mshtml=;explorer.exe=d"
export LANG=C.UTF-8
unset LC_ALL DISPLAY WAYLAND_DISPLAY
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
wine=${WINE:-/usr/lib/wine/wine64}

# A server left over from an interrupted run may not be the persistent one.
"$wineserver" -k </dev/null >/dev/null 2>&1 || true
timeout 30 "$wineserver" -w </dev/null >/dev/null 2>&1 || true
[ "$1" = stop ] && exit 0

"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot -i </dev/null >/dev/null 2>&1
