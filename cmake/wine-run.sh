#!/usr/bin/env bash
# wine-run.sh BUILD_DIR PROGRAM.exe [ARGS...]   runs a Windows program in the build tree's Wine prefix
# wine-run.sh BUILD_DIR --prefix-only            only makes sure that the prefix exists
# The prefix is created once (a minute or a few), under a lock so parallel tests wait for it. When no
# DISPLAY is set, the display of the running test session (wine-session.sh) is used.
set -u
build=$(cd "$1" && pwd)
shift
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer; and no winedbg: a crashing test program must end, not wait in a
# debugger until the test times out.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}

# A creation that was cut short (a time-out, ^C) leaves a prefix that Wine cannot start from
# ("could not load kernel32.dll"): only a prefix with the stamp of a finished creation is used.
ready=$WINEPREFIX.ready
(
  flock 9
  if [ ! -f "$ready" ]; then
    wineserver -k 2>/dev/null
    rm -rf "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1 && wineserver -w && [ -f "$WINEPREFIX/system.reg" ] && touch "$ready"
  fi
) 9>"$build/wineprefix.lock"
[ -f "$ready" ] || { echo "wine-run: could not create $WINEPREFIX" >&2; exit 1; }
[ "${1:-}" = "--prefix-only" ] && exit 0

if [ -z "${DISPLAY:-}" ] && [ -f "$build/wine-session/display" ]; then
  export DISPLAY=$(cat "$build/wine-session/display")
fi
exec wine "$@"
