#!/bin/sh
# Runs a Windows program under Wine, for CTest (CMAKE_CROSSCOMPILING_EMULATOR)
# and the end-to-end tests.  Quiet, without a display, with a UTF-8 locale:
# under LANG=C Wine would mangle non-ASCII user names and file names.
#
# Start the Wine server and initialise the prefix beforehand, with every
# stream on /dev/null (.ci/windows.sh does): otherwise Wine's background
# processes inherit the caller's output pipe and keep CTest waiting.
export WINEDEBUG="${WINEDEBUG--all}"
# Without a display Wine's desktop process (explorer.exe) cannot work, yet a
# message box waits seconds for it; disabled, the box fails at once.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=;explorer.exe=d}"
export LANG=C.UTF-8
unset LC_ALL DISPLAY WAYLAND_DISPLAY
# Debian's wine64 package puts the loader outside PATH.
exec "${WINE:-/usr/lib/wine/wine64}" "$@"
